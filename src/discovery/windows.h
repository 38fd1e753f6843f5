// Window enumeration and look-up by title or handle.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window_services.h"
#include "util/function_ref.h"

namespace vorel {

struct WindowRecord {
  int64_t handle = 0;
  std::string title;
  std::string class_name;
  uint32_t pid = 0;
  bool visible = false;
};

// Top-level windows in the platform's order. Without include_hidden only the
// visible windows with a non-empty title are kept; with it, every window.
std::vector<WindowRecord> enumerate_windows(platform::WindowServices& services,
                                            bool include_hidden);

// Lower-cases a text (full Unicode mapping). nullopt aborts the search; the
// caller then reports its own failure.
using LowerFn = FunctionRef<std::optional<std::string>(std::string_view)>;

// The first visible, titled window whose lower-cased title contains
// `needle_lower`. The outer optional is empty when `lower` failed.
std::optional<std::optional<WindowRecord>> find_window_by_title(platform::WindowServices& services,
                                                                std::string_view needle_lower,
                                                                LowerFn lower);

// The matching half of find_window_by_title, over the records of an
// enumeration without hidden windows: the enumeration can then run where
// `lower` cannot (without the interpreter lock), and the match where it can.
std::optional<std::optional<WindowRecord>> first_with_title(std::vector<WindowRecord> records,
                                                            std::string_view needle_lower,
                                                            LowerFn lower);

// The window with this handle, whatever its visibility or title; nullopt when
// the handle is not a window.
std::optional<WindowRecord> find_window_by_handle(platform::WindowServices& services,
                                                  int64_t handle);

// "WindowInfo(handle=0x1a2b, title='Untitled', pid=42)"
std::string window_repr(const WindowRecord& record);

}  // namespace vorel
