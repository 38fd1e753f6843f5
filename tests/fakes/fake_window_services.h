// Scriptable in-memory window services for the discovery rules.
#pragma once

#include <algorithm>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/kernel.h"
#include "platform/window_services.h"
#include "util/clock.h"

namespace vorel::testing {

struct FakeWindow {
  platform::WindowHandle handle = 0;
  std::u16string title;
  std::u16string class_name;
  std::optional<uint32_t> pid;
  bool visible = true;
  // Length reported before the read; defaults to the title's length.
  std::optional<int32_t> reported_length;
  bool text_call_fails = false;
  bool top_level = true;
};

inline FakeWindow window(platform::WindowHandle handle, std::u16string title,
                         std::u16string class_name, std::optional<uint32_t> pid, bool visible,
                         std::optional<int32_t> reported_length = std::nullopt) {
  FakeWindow w;
  w.handle = handle;
  w.title = std::move(title);
  w.class_name = std::move(class_name);
  w.pid = pid;
  w.visible = visible;
  w.reported_length = reported_length;
  return w;
}

struct FakeMonitor {
  platform::MonitorInfoEx info;
  bool info_call_fails = false;
};

inline FakeMonitor monitor_entry(platform::MonitorInfoEx info, bool fails = false) {
  FakeMonitor m;
  m.info = info;
  m.info_call_fails = fails;
  return m;
}

class FakeWindowServices final : public platform::WindowServices {
 public:
  std::vector<FakeWindow> windows;
  std::vector<FakeMonitor> monitors;
  // The enumeration fails (with this last error) after this many windows.
  std::optional<size_t> fail_windows_after;
  int32_t failure_code = 1400;
  std::vector<std::string> calls;  // the order of per-window calls

  bool enum_windows(FunctionRef<bool(platform::WindowHandle)> visit) override {
    size_t n = 0;
    for (const FakeWindow& w : windows) {
      if (!w.top_level) continue;
      if (fail_windows_after && n == *fail_windows_after) {
        platform::set_last_error(failure_code);
        return false;
      }
      ++n;
      if (!visit(w.handle)) return true;
    }
    return true;
  }

  int32_t get_window_text_length(platform::WindowHandle h) override {
    calls.push_back("length");
    const FakeWindow* w = find(h);
    if (w == nullptr) return 0;
    return w->reported_length.value_or(static_cast<int32_t>(w->title.size()));
  }

  int32_t get_window_text(platform::WindowHandle h, char16_t* buffer, int32_t count) override {
    calls.push_back("text");
    const FakeWindow* w = find(h);
    if (w == nullptr || w->text_call_fails) return 0;
    return copy(w->title, buffer, count);
  }

  int32_t get_class_name(platform::WindowHandle h, char16_t* buffer, int32_t count) override {
    calls.push_back("class");
    const FakeWindow* w = find(h);
    if (w == nullptr) return 0;
    return copy(w->class_name, buffer, count);
  }

  void get_window_process_id(platform::WindowHandle h, uint32_t* pid) override {
    calls.push_back("pid");
    const FakeWindow* w = find(h);
    if (w != nullptr && w->pid) *pid = *w->pid;
  }

  bool is_window_visible(platform::WindowHandle h) override {
    calls.push_back("visible");
    const FakeWindow* w = find(h);
    return w != nullptr && w->visible;
  }

  bool is_window(platform::WindowHandle h) override { return find(h) != nullptr; }

  bool enum_display_monitors(FunctionRef<bool(platform::MonitorHandle)> visit) override {
    for (size_t i = 0; i < monitors.size(); ++i) {
      if (!visit(i)) break;
    }
    return true;
  }

  bool get_monitor_info(platform::MonitorHandle m, platform::MonitorInfoEx* info) override {
    if (m >= monitors.size() || monitors[m].info_call_fails) return false;
    *info = monitors[m].info;
    return true;
  }

  // Client rectangles by window; a window without one fails the call.
  std::map<platform::WindowHandle, platform::Rect> client_rects;
  // Every surface made, in order, and the grabs made on each.
  std::vector<platform::CaptureSource> surfaces_made;
  int grabs = 0;
  int surfaces_alive = 0;
  // With split grabs, surfaces behave like a system that fills frames
  // asynchronously: two buffers used in turn, begin_grab() writes the first
  // half of the next frame and finish_grab() the second, so a frame handed
  // over while its grab is under way is torn. Without, they keep the
  // interface's default halves.
  bool split_grabs = false;
  // What the surfaces were asked, in order ("grab", "begin", "finish"),
  // and when each grab started, on `clock` when one is given.
  std::vector<std::string> grab_calls;
  Clock* clock = nullptr;
  std::vector<Clock::time_point> grab_starts;
  int grabs_dropped = 0;  // begun and never finished

  bool get_client_rect(platform::WindowHandle h, platform::Rect* rect) override {
    auto it = client_rects.find(h);
    if (it == client_rects.end()) return false;
    *rect = it->second;
    return true;
  }

  std::unique_ptr<platform::CaptureSurface> create_capture_surface(
      const platform::CaptureSource& source) override {
    surfaces_made.push_back(source);
    return std::make_unique<Surface>(*this, source);
  }

 private:
  // Fills each frame with its sequence number, so tests can tell frames apart.
  class Surface final : public platform::CaptureSurface {
   public:
    Surface(FakeWindowServices& owner, const platform::CaptureSource& source)
        : owner_(owner) {
      const size_t bytes = static_cast<size_t>(std::max(0, source.width)) *
                           static_cast<size_t>(std::max(0, source.height)) * 4;
      buffers_[0].assign(bytes, 0);
      buffers_[1].assign(bytes, 0);
      ++owner_.surfaces_alive;
    }
    ~Surface() override {
      if (pending_) ++owner_.grabs_dropped;
      --owner_.surfaces_alive;
    }
    const uint8_t* grab() override {
      owner_.grab_calls.push_back("grab");
      start();
      return complete();
    }
    void begin_grab() override {
      if (!owner_.split_grabs) return CaptureSurface::begin_grab();
      owner_.grab_calls.push_back("begin");
      start();
    }
    const uint8_t* finish_grab() override {
      if (!owner_.split_grabs) return CaptureSurface::finish_grab();
      owner_.grab_calls.push_back("finish");
      return complete();
    }

   private:
    std::vector<uint8_t>& back() { return buffers_[owner_.split_grabs ? 1 - front_ : front_]; }
    void start() {
      ++owner_.grabs;
      if (owner_.clock) owner_.grab_starts.push_back(owner_.clock->now());
      std::vector<uint8_t>& b = back();
      std::fill(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2),
                static_cast<uint8_t>(owner_.grabs));
      pending_ = true;
    }
    const uint8_t* complete() {
      std::vector<uint8_t>& b = back();
      std::fill(b.begin() + static_cast<std::ptrdiff_t>(b.size() / 2), b.end(),
                static_cast<uint8_t>(owner_.grabs));
      pending_ = false;
      if (owner_.split_grabs) front_ = 1 - front_;
      return buffers_[front_].data();
    }

    FakeWindowServices& owner_;
    std::vector<uint8_t> buffers_[2];
    int front_ = 0;  // the buffer handed out last
    bool pending_ = false;
  };

 public:

 private:
  const FakeWindow* find(platform::WindowHandle h) const {
    auto it = std::find_if(windows.begin(), windows.end(),
                           [&](const FakeWindow& w) { return w.handle == h; });
    return it == windows.end() ? nullptr : &*it;
  }

  // GetWindowTextW's rule: at most count - 1 units, then a NUL.
  static int32_t copy(const std::u16string& text, char16_t* buffer, int32_t count) {
    if (count <= 0) return 0;
    const size_t n = std::min(text.size(), static_cast<size_t>(count - 1));
    std::copy_n(text.begin(), n, buffer);
    buffer[n] = 0;
    return static_cast<int32_t>(n);
  }
};

inline platform::MonitorInfoEx monitor(int32_t left, int32_t top, int32_t right, int32_t bottom,
                                       bool primary, std::u16string name) {
  platform::MonitorInfoEx info{};
  info.monitor = {left, top, right, bottom};
  info.work = info.monitor;
  info.flags = primary ? platform::kMonitorPrimary : 0;
  std::copy_n(name.begin(), std::min<size_t>(name.size(), 32), info.device);
  return info;
}

}  // namespace vorel::testing
