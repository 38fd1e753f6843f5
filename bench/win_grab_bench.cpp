// Time per grab on the Windows backend: the capture surface (BitBlt or
// PrintWindow into a DIB section, read in place) against the read-out it
// replaced (the same into a compatible bitmap, then GetDIBits into a buffer
// of ours), measured in the same run, in alternating rounds so that both see
// the same machine load. A monitor and a window of our own are measured.
// Prints the medians and their ratio.
//
//   vorel_win_grab_bench [frames_per_round] [rounds]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "discovery/monitors.h"
#include "platform/win32/compat.h"
#include "platform/win32/scoped.h"
#include "platform/window_services.h"

namespace {

using Clock = std::chrono::steady_clock;

// The read-out as the grabber did it before: a compatible bitmap selected
// into a memory device context, copied out with GetDIBits every frame.
class GetDIBitsGrab {
 public:
  explicit GetDIBitsGrab(const vorel::platform::CaptureSource& source)
      : source_(source),
        window_(source.is_window ? reinterpret_cast<HWND>(static_cast<intptr_t>(source.window))
                                 : nullptr),
        screen_(window_),
        memory_(CreateCompatibleDC(screen_.get())),
        bitmap_(CreateCompatibleBitmap(screen_.get(), source.width, source.height)),
        selection_(memory_.get(), bitmap_.get()),
        pixels_(static_cast<size_t>(source.width) * static_cast<size_t>(source.height) * 4) {
    info_.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info_.bmiHeader.biWidth = source.width;
    info_.bmiHeader.biHeight = -source.height;
    info_.bmiHeader.biPlanes = 1;
    info_.bmiHeader.biBitCount = 32;
    info_.bmiHeader.biCompression = BI_RGB;
    info_.bmiHeader.biSizeImage = static_cast<DWORD>(pixels_.size());
  }

  const uint8_t* grab() {
    if (window_ != nullptr) {
      (void)PrintWindow(window_, memory_.get(), PW_CLIENTONLY | PW_RENDERFULLCONTENT);
    } else {
      (void)BitBlt(memory_.get(), 0, 0, source_.width, source_.height, screen_.get(),
                   source_.origin_x, source_.origin_y, SRCCOPY);
    }
    (void)GetDIBits(memory_.get(), bitmap_.get(), 0, static_cast<UINT>(source_.height),
                    pixels_.data(), &info_, DIB_RGB_COLORS);
    return pixels_.data();
  }

 private:
  vorel::platform::CaptureSource source_;
  HWND window_;
  vorel::win32::ScopedWindowDc screen_;
  vorel::win32::ScopedMemoryDc memory_;
  vorel::win32::ScopedGdiObject bitmap_;
  vorel::win32::ScopedSelection selection_;
  BITMAPINFO info_{};
  std::vector<uint8_t> pixels_;
};

template <class Grab>
void time_frames(Grab&& grab, int frames, std::vector<double>& samples, uint64_t& checksum) {
  for (int i = 0; i < frames; ++i) {
    const auto began = Clock::now();
    const uint8_t* frame = grab();
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - began).count());
    checksum += frame != nullptr ? frame[i % 64] : 0;  // keeps the frame observed
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0.0 : v[v.size() / 2];
}

// A window that paints its client area in two colours, also when asked to
// print it.
LRESULT CALLBACK painting_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto paint = [window](HDC dc) {
    RECT client{};
    GetClientRect(window, &client);
    RECT top = client;
    top.bottom = client.bottom / 2;
    auto* brush = static_cast<HBRUSH>(GetStockObject(DC_BRUSH));
    SetDCBrushColor(dc, RGB(0x12, 0x34, 0x56));
    FillRect(dc, &top, brush);
    RECT bottom = client;
    bottom.top = top.bottom;
    SetDCBrushColor(dc, RGB(0xA0, 0xB0, 0xC0));
    FillRect(dc, &bottom, brush);
  };
  switch (message) {
    case WM_ERASEBKGND:
      return 1;
    case WM_PAINT: {
      PAINTSTRUCT ps;
      paint(BeginPaint(window, &ps));
      EndPaint(window, &ps);
      return 0;
    }
    case WM_PRINTCLIENT:
      paint(reinterpret_cast<HDC>(wparam));
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

// Both paths on one source; false when their pictures differ.
bool compare(const char* what, vorel::platform::WindowServices& services,
             const vorel::platform::CaptureSource& source, int frames, int rounds) {
  auto surface = services.create_capture_surface(source);
  GetDIBitsGrab old_path(source);

  const size_t bytes = static_cast<size_t>(source.width) * static_cast<size_t>(source.height) * 4;
  size_t differing = 0;
  {
    const uint8_t* a = surface->grab();
    const uint8_t* b = old_path.grab();
    for (size_t i = 0; i < bytes; i += 4) {
      if (a[i] != b[i] || a[i + 1] != b[i + 1] || a[i + 2] != b[i + 2]) ++differing;
    }
  }

  std::vector<double> dib_section;
  std::vector<double> get_dibits;
  uint64_t checksum = 0;
  for (int r = 0; r < rounds; ++r) {
    if (r % 2 == 0) {
      time_frames([&] { return surface->grab(); }, frames, dib_section, checksum);
      time_frames([&] { return old_path.grab(); }, frames, get_dibits, checksum);
    } else {
      time_frames([&] { return old_path.grab(); }, frames, get_dibits, checksum);
      time_frames([&] { return surface->grab(); }, frames, dib_section, checksum);
    }
  }
  const double old_ms = median(get_dibits);
  const double new_ms = median(dib_section);
  std::printf("%s %dx%d, %d frames per path in %d alternating rounds\n", what, source.width,
              source.height, frames * rounds, rounds);
  std::printf("  pixels differing between the paths: %zu of %zu\n", differing, bytes / 4);
  std::printf("  GetDIBits read-out  median %.3f ms/frame\n", old_ms);
  std::printf("  DIB section grab    median %.3f ms/frame\n", new_ms);
  std::printf("  ratio of time per frame, DIB section / GetDIBits: %.3f (checksum %llu)\n",
              old_ms > 0.0 ? new_ms / old_ms : 0.0, static_cast<unsigned long long>(checksum));
  return differing == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 6;

  auto services = vorel::platform::open_window_services();
  const auto monitors = vorel::enumerate_monitors(*services);
  if (monitors.empty()) {
    std::fprintf(stderr, "no monitor\n");
    return 1;
  }
  vorel::platform::CaptureSource screen;
  screen.origin_x = monitors[0].x;
  screen.origin_y = monitors[0].y;
  screen.width = monitors[0].width;
  screen.height = monitors[0].height;
  bool same = compare("monitor", *services, screen, frames, rounds);

  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = painting_procedure;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"vorel-grab-bench";
  if (RegisterClassExW(&wc) == 0) {
    std::fprintf(stderr, "RegisterClassExW failed: %lu\n", GetLastError());
    return 1;
  }
  HWND window = CreateWindowExW(0, wc.lpszClassName, L"Vorel grab bench", WS_POPUP | WS_VISIBLE,
                                0, 0, 1280, 720, nullptr, nullptr, wc.hInstance, nullptr);
  if (window == nullptr) {
    std::fprintf(stderr, "CreateWindowExW failed: %lu\n", GetLastError());
    return 1;
  }
  vorel::platform::Rect client;
  (void)services->get_client_rect(reinterpret_cast<intptr_t>(window), &client);
  vorel::platform::CaptureSource printed;
  printed.is_window = true;
  printed.window = reinterpret_cast<intptr_t>(window);
  printed.width = client.right;
  printed.height = client.bottom;
  // Cheaper per frame than the screen: more frames for the same time.
  same = compare("window", *services, printed, frames * 4, rounds) && same;
  DestroyWindow(window);
  UnregisterClassW(wc.lpszClassName, wc.hInstance);
  return same ? 0 : 2;
}
