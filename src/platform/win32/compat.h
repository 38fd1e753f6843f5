// Declarations the Windows backend needs that some toolchains' headers lack
// (the MinGW-w64 10 headers in particular), and the one place that includes
// windows.h for the backend.
#pragma once

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <propidl.h>
#include <mmdeviceapi.h>
#include <audioclient.h>
#include <inspectable.h>

#if __has_include(<restrictederrorinfo.h>)
#include <restrictederrorinfo.h>
#else
// Error information of the Windows Runtime, offered beside IErrorInfo by the
// objects that carry a restricted (capability-related) description.
struct IRestrictedErrorInfo : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetErrorDetails(BSTR* description, HRESULT* error,
                                                    BSTR* restricted_description,
                                                    BSTR* capability_sid) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetReference(BSTR* reference) = 0;
};
#endif

#if __has_include(<weakreference.h>)
#include <weakreference.h>
#else
// Weak references of the Windows Runtime: a source hands out a weak
// reference, which gives the object back only while it is still alive.
struct IWeakReference : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Resolve(REFIID iid, IInspectable** object) = 0;
};
struct IWeakReferenceSource : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetWeakReference(IWeakReference** reference) = 0;
};
#endif

#if __has_include(<audioclientactivationparams.h>)
#include <audioclientactivationparams.h>
#else
// The parameters ActivateAudioInterfaceAsync takes for a loopback stream of
// one process tree (Windows 10 2004 on), carried in a VT_BLOB PROPVARIANT.
enum AUDIOCLIENT_ACTIVATION_TYPE {
  AUDIOCLIENT_ACTIVATION_TYPE_DEFAULT = 0,
  AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK = 1,
};
enum PROCESS_LOOPBACK_MODE {
  PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE = 0,
  PROCESS_LOOPBACK_MODE_EXCLUDE_TARGET_PROCESS_TREE = 1,
};
struct AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS {
  DWORD TargetProcessId;
  PROCESS_LOOPBACK_MODE ProcessLoopbackMode;
};
struct AUDIOCLIENT_ACTIVATION_PARAMS {
  AUDIOCLIENT_ACTIVATION_TYPE ActivationType;
  union {
    AUDIOCLIENT_PROCESS_LOOPBACK_PARAMS ProcessLoopbackParams;
  };
};
#define VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK L"VAD\\Process_Loopback"
#endif

static_assert(sizeof(AUDIOCLIENT_ACTIVATION_PARAMS) == 12, "the platform reads 12 bytes");

namespace vorel::win32 {

// {82BA7092-4C88-427D-A7BC-16DD93FEB67E}; spelled out here because not every
// import library defines it.
inline constexpr IID kIidRestrictedErrorInfo = {
    0x82ba7092, 0x4c88, 0x427d, {0xa7, 0xbc, 0x16, 0xdd, 0x93, 0xfe, 0xb6, 0x7e}};

// Core Audio identifiers, spelled out so that no import library has to carry
// them (the property key is in none).
inline constexpr CLSID kClsidMMDeviceEnumerator = {
    0xbcde0395, 0xe52f, 0x467c, {0x8e, 0x3d, 0xc4, 0x57, 0x92, 0x91, 0x69, 0x2e}};
inline constexpr IID kIidMMDeviceEnumerator = {
    0xa95664d2, 0x9614, 0x4f35, {0xa7, 0x46, 0xde, 0x8d, 0xb6, 0x36, 0x17, 0xe6}};
inline constexpr IID kIidAudioClient = {
    0x1cb9ad4c, 0xdbfa, 0x4c32, {0xb1, 0x78, 0xc2, 0xf5, 0x68, 0xa7, 0x03, 0xb2}};
inline constexpr IID kIidAudioCaptureClient = {
    0xc8adbd64, 0xe71e, 0x48a0, {0xa4, 0xde, 0x18, 0x5c, 0x39, 0x5c, 0xd3, 0x17}};
inline constexpr IID kIidAudioRenderClient = {
    0xf294acfc, 0x3146, 0x4483, {0xa7, 0xbf, 0xad, 0xdc, 0xa7, 0xc2, 0x60, 0xe2}};
// The interfaces of the completion handler of asynchronous activation.
inline constexpr IID kIidUnknown = {
    0x00000000, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID kIidMarshal = {
    0x00000003, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID kIidWeakReference = {
    0x00000037, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID kIidWeakReferenceSource = {
    0x00000038, 0x0000, 0x0000, {0xc0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID kIidInspectable = {
    0xaf86e2e0, 0xb12d, 0x4c6a, {0x9c, 0x5a, 0xd7, 0xaa, 0x65, 0x10, 0x1e, 0x90}};
inline constexpr IID kIidAgileObject = {
    0x94ea2b94, 0xe9cc, 0x49e0, {0xc0, 0xff, 0xee, 0x64, 0xca, 0x8f, 0x5b, 0x90}};
inline constexpr IID kIidActivateAudioInterfaceCompletionHandler = {
    0x41d949ab, 0x9862, 0x444a, {0x80, 0xf6, 0xc2, 0x61, 0x33, 0x4d, 0xa5, 0xeb}};
// PKEY_Device_FriendlyName.
inline constexpr PROPERTYKEY kPkeyDeviceFriendlyName = {
    {0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

// A function of a loaded module, looked up by name; null when the module or
// the function is missing.
template <class Fn>
Fn module_function(HMODULE module, const char* name) {
  FARPROC proc = module != nullptr ? GetProcAddress(module, name) : nullptr;
  // Through void(*)() so that no compiler sees a mismatched signature cast.
  return reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(proc));
}

using SetThreadDpiAwarenessContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)(DPI_AWARENESS_CONTEXT);

// SetThreadDpiAwarenessContext exists from Windows 10 1607 on. It is looked up
// at run time so that the module still loads on older systems, where threads
// simply keep the process's awareness. Null when the system lacks it.
inline SetThreadDpiAwarenessContextFn set_thread_dpi_awareness_context() {
  // user32 is always loaded: the backend imports from it.
  static const auto fn = module_function<SetThreadDpiAwarenessContextFn>(
      GetModuleHandleW(L"user32.dll"), "SetThreadDpiAwarenessContext");
  return fn;
}

using GetWindowDpiAwarenessContextFn = DPI_AWARENESS_CONTEXT(WINAPI*)(HWND);

// GetWindowDpiAwarenessContext, from Windows 10 1607 on, looked up like
// SetThreadDpiAwarenessContext. Null when the system lacks it.
inline GetWindowDpiAwarenessContextFn get_window_dpi_awareness_context() {
  static const auto fn = module_function<GetWindowDpiAwarenessContextFn>(
      GetModuleHandleW(L"user32.dll"), "GetWindowDpiAwarenessContext");
  return fn;
}

// The DPI awareness `window` was made with: a thread that takes it on sees
// the window's sizes in the pixels the window itself draws in. Null when the
// system cannot tell (before Windows 10 1607, or the window is gone).
inline DPI_AWARENESS_CONTEXT window_dpi_awareness(HWND window) {
  const GetWindowDpiAwarenessContextFn fn = get_window_dpi_awareness_context();
  return fn != nullptr && window != nullptr ? fn(window) : nullptr;
}

}  // namespace vorel::win32
