#include "discovery/windows.h"

#include "util/text.h"

namespace vorel {
namespace {

constexpr int32_t kClassNameUnits = 256;

// Reads one window's record; `length` is the title length read beforehand.
WindowRecord read_record(platform::WindowServices& services, platform::WindowHandle window,
                         int32_t length, bool visible) {
  WindowRecord r;
  r.handle = window;
  // The whole buffer is converted, whatever the call returned: a title that
  // shrank in between leaves NULs, which are then cut.
  const size_t units = length < 0 ? 1 : static_cast<size_t>(length) + 1;
  std::u16string title(units, u'\0');
  (void)services.get_window_text(window, title.data(), static_cast<int32_t>(units));
  r.title = utf16_to_utf8_lossy(trim_trailing_nuls(title));

  char16_t class_name[kClassNameUnits] = {};
  (void)services.get_class_name(window, class_name, kClassNameUnits);
  r.class_name = utf16_to_utf8_lossy(
      trim_trailing_nuls(std::u16string_view(class_name, kClassNameUnits)));

  uint32_t pid = 0;
  services.get_window_process_id(window, &pid);
  r.pid = pid;
  r.visible = visible;
  return r;
}

}  // namespace

std::vector<WindowRecord> enumerate_windows(platform::WindowServices& services,
                                            bool include_hidden) {
  std::vector<WindowRecord> records;
  // A failed enumeration keeps what it gathered, and nothing reports its
  // error, so neither its outcome nor the thread's last error is read.
  services.enum_windows([&](platform::WindowHandle window) {
    const int32_t length = services.get_window_text_length(window);
    if (length == 0 && !include_hidden) return true;
    const bool visible = services.is_window_visible(window);
    if (!visible && !include_hidden) return true;
    records.push_back(read_record(services, window, length, visible));
    return true;
  });
  return records;
}

std::optional<std::optional<WindowRecord>> find_window_by_title(platform::WindowServices& services,
                                                                std::string_view needle_lower,
                                                                LowerFn lower) {
  return first_with_title(enumerate_windows(services, false), needle_lower, lower);
}

std::optional<std::optional<WindowRecord>> first_with_title(std::vector<WindowRecord> records,
                                                            std::string_view needle_lower,
                                                            LowerFn lower) {
  for (WindowRecord& r : records) {
    std::optional<std::string> title_lower = lower(r.title);
    if (!title_lower) return std::nullopt;
    if (title_lower->find(needle_lower) != std::string::npos) {
      return std::optional<WindowRecord>(std::move(r));
    }
  }
  return std::optional<WindowRecord>();
}

std::optional<WindowRecord> find_window_by_handle(platform::WindowServices& services,
                                                  int64_t handle) {
  if (!services.is_window(handle)) return std::nullopt;
  const int32_t length = services.get_window_text_length(handle);
  // Visibility is read last here, after the texts and the pid.
  WindowRecord r = read_record(services, handle, length, false);
  r.visible = services.is_window_visible(handle);
  return r;
}

std::string window_repr(const WindowRecord& r) {
  return "WindowInfo(handle=" + format_hex_lower(static_cast<uint64_t>(r.handle)) +
         ", title='" + r.title + "', pid=" + std::to_string(r.pid) + ")";
}

}  // namespace vorel
