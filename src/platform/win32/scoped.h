// Owners of the Windows backend's resources: each releases its one resource
// exactly once, and none is copyable.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/win32/compat.h"

namespace vorel::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows wide strings are UTF-16");

// UTF-16 units from a wide-character buffer.
inline std::u16string to_u16string(const wchar_t* text, size_t length) {
  std::u16string out(length, u'\0');
  for (size_t i = 0; i < length; ++i) out[i] = static_cast<char16_t>(text[i]);
  return out;
}

// A NUL-terminated wide string of UTF-16 units.
inline std::wstring to_wstring(std::u16string_view text) {
  std::wstring out(text.size(), L'\0');
  for (size_t i = 0; i < text.size(); ++i) out[i] = static_cast<wchar_t>(text[i]);
  return out;
}

// One owned pointer, given back with `Free` exactly once: the common part of
// the owners of COM references and of COM-allocated memory.
template <class T, void (*Free)(T*)>
class OwnedPtr {
 public:
  OwnedPtr() = default;
  OwnedPtr(OwnedPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  OwnedPtr& operator=(OwnedPtr&& other) noexcept {
    if (this != &other) {
      reset();
      p_ = std::exchange(other.p_, nullptr);
    }
    return *this;
  }
  OwnedPtr(const OwnedPtr&) = delete;
  OwnedPtr& operator=(const OwnedPtr&) = delete;
  ~OwnedPtr() { reset(); }

  T* get() const noexcept { return p_; }
  T* operator->() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // For out-parameters: drops the current pointer first.
  T** put() noexcept {
    reset();
    return &p_;
  }

  void reset() noexcept {
    if (T* p = std::exchange(p_, nullptr)) Free(p);
  }

  // Takes over a pointer the caller already owns (for a COM object just
  // made, its first reference).
  void attach(T* p) noexcept {
    reset();
    p_ = p;
  }

 protected:
  T* p_ = nullptr;
};

template <class T>
void release_interface(T* p) {
  p->Release();
}

template <class T>
void free_task_memory(T* p) {
  CoTaskMemFree(p);
}

// One reference to a COM interface.
template <class T>
class ComPtr : public OwnedPtr<T, &release_interface<T>> {
 public:
  void** put_void() noexcept { return reinterpret_cast<void**>(this->put()); }

  // A second reference to the same interface.
  ComPtr share() const noexcept {
    ComPtr out;
    if (this->p_ != nullptr) {
      this->p_->AddRef();
      out.p_ = this->p_;
    }
    return out;
  }

  // Another interface of the same object; empty when it is not offered.
  template <class U>
  ComPtr<U> query(const IID& iid) const noexcept {
    ComPtr<U> out;
    if (this->p_ == nullptr || FAILED(this->p_->QueryInterface(iid, out.put_void()))) out.reset();
    return out;
  }
};

// A BSTR handed to us by a COM call.
class Bstr {
 public:
  Bstr() = default;
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { reset(); }

  BSTR* put() noexcept {
    reset();
    return &s_;
  }
  BSTR get() const noexcept { return s_; }

  // The string's units (its stored length, not up to a NUL); nullopt for a
  // null BSTR.
  std::optional<std::u16string> text() const {
    if (s_ == nullptr) return std::nullopt;
    return to_u16string(s_, SysStringLen(s_));
  }

  void reset() noexcept {
    if (BSTR s = std::exchange(s_, nullptr)) SysFreeString(s);
  }

 private:
  BSTR s_ = nullptr;
};

// Memory a COM call hands to its caller, freed with CoTaskMemFree.
template <class T>
using CoTaskMemPtr = OwnedPtr<T, &free_task_memory<T>>;

// A PROPVARIANT filled by a COM call, cleared once when the scope ends (a
// failed clear is of no consequence to us).
class ScopedPropVariant {
 public:
  ScopedPropVariant() noexcept { PropVariantInit(&value_); }
  ScopedPropVariant(const ScopedPropVariant&) = delete;
  ScopedPropVariant& operator=(const ScopedPropVariant&) = delete;
  ~ScopedPropVariant() { (void)PropVariantClear(&value_); }

  PROPVARIANT* put() noexcept {
    (void)PropVariantClear(&value_);
    return &value_;
  }
  const PROPVARIANT& get() const noexcept { return value_; }

 private:
  PROPVARIANT value_;
};

// The calling thread in the multithreaded COM apartment for the scope's
// lifetime. A thread already in another apartment keeps it: joining fails,
// and then the scope must not leave it either.
class ScopedComApartment {
 public:
  ScopedComApartment() noexcept
      : joined_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ScopedComApartment(const ScopedComApartment&) = delete;
  ScopedComApartment& operator=(const ScopedComApartment&) = delete;
  ~ScopedComApartment() {
    if (joined_) CoUninitialize();
  }

  bool joined() const noexcept { return joined_; }

 private:
  bool joined_;
};

// A wide string allocated by the system with LocalAlloc (FormatMessageW with
// FORMAT_MESSAGE_ALLOCATE_BUFFER).
class LocalWideString {
 public:
  LocalWideString() = default;
  LocalWideString(const LocalWideString&) = delete;
  LocalWideString& operator=(const LocalWideString&) = delete;
  ~LocalWideString() {
    if (p_ != nullptr) LocalFree(p_);
  }

  // FormatMessageW takes the address of the pointer disguised as LPWSTR.
  LPWSTR put_as_buffer() noexcept { return reinterpret_cast<LPWSTR>(&p_); }
  const wchar_t* get() const noexcept { return p_; }

 private:
  wchar_t* p_ = nullptr;
};

// A module loaded with LoadLibrary*.
class ScopedLibrary {
 public:
  explicit ScopedLibrary(HMODULE module) noexcept : module_(module) {}
  ScopedLibrary(const ScopedLibrary&) = delete;
  ScopedLibrary& operator=(const ScopedLibrary&) = delete;
  ~ScopedLibrary() {
    if (module_ != nullptr) FreeLibrary(module_);
  }

  HMODULE get() const noexcept { return module_; }

 private:
  HMODULE module_;
};

// A device context from GetDC (a window's client area, or the screen for a
// null window), given back with ReleaseDC.
class ScopedWindowDc {
 public:
  explicit ScopedWindowDc(HWND window) noexcept : window_(window), dc_(GetDC(window)) {}
  ScopedWindowDc(const ScopedWindowDc&) = delete;
  ScopedWindowDc& operator=(const ScopedWindowDc&) = delete;
  ~ScopedWindowDc() {
    if (dc_ != nullptr) ReleaseDC(window_, dc_);
  }

  HDC get() const noexcept { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// A memory device context from CreateCompatibleDC.
class ScopedMemoryDc {
 public:
  explicit ScopedMemoryDc(HDC dc) noexcept : dc_(dc) {}
  ScopedMemoryDc(const ScopedMemoryDc&) = delete;
  ScopedMemoryDc& operator=(const ScopedMemoryDc&) = delete;
  ~ScopedMemoryDc() {
    if (dc_ != nullptr) DeleteDC(dc_);
  }

  HDC get() const noexcept { return dc_; }

 private:
  HDC dc_;
};

// A GDI object (a bitmap here) deleted with DeleteObject; it must no longer
// be selected into a device context by then.
class ScopedGdiObject {
 public:
  explicit ScopedGdiObject(HBITMAP object) noexcept : object_(object) {}
  ScopedGdiObject(const ScopedGdiObject&) = delete;
  ScopedGdiObject& operator=(const ScopedGdiObject&) = delete;
  ~ScopedGdiObject() {
    if (object_ != nullptr) DeleteObject(object_);
  }

  HBITMAP get() const noexcept { return object_; }

 private:
  HBITMAP object_;
};

// Selects an object into a device context and puts the previous one back.
class ScopedSelection {
 public:
  ScopedSelection(HDC dc, HGDIOBJ object) noexcept
      : dc_(dc), previous_(SelectObject(dc, object)) {}
  ScopedSelection(const ScopedSelection&) = delete;
  ScopedSelection& operator=(const ScopedSelection&) = delete;
  ~ScopedSelection() {
    if (previous_ != nullptr) SelectObject(dc_, previous_);
  }

 private:
  HDC dc_;
  HGDIOBJ previous_;
};

// Gives the calling thread (never the process) another DPI awareness for the
// scope's lifetime and puts the previous one back. `fallback` is tried when
// the system rejects `preferred` (per-monitor v2 is missing before Windows 10
// 1703, and in Wine 8). Does nothing where the system has no per-thread
// awareness, or when given no context at all. The system may reject every
// context it is given: see applied().
class ScopedThreadDpiAwareness {
 public:
  explicit ScopedThreadDpiAwareness(DPI_AWARENESS_CONTEXT preferred,
                                    DPI_AWARENESS_CONTEXT fallback = nullptr) noexcept {
    SetThreadDpiAwarenessContextFn set = set_thread_dpi_awareness_context();
    if (set == nullptr || (preferred == nullptr && fallback == nullptr)) return;
    previous_ = set(preferred);
    if (previous_ == nullptr && fallback != nullptr) previous_ = set(fallback);
  }
  ScopedThreadDpiAwareness(const ScopedThreadDpiAwareness&) = delete;
  ScopedThreadDpiAwareness& operator=(const ScopedThreadDpiAwareness&) = delete;
  ~ScopedThreadDpiAwareness() {
    // A null previous context means the change itself failed.
    if (previous_ != nullptr) set_thread_dpi_awareness_context()(previous_);
  }

  // Whether the thread took on one of the contexts. Not when there was
  // nothing to apply, and not when the system refused: from Windows 10 1803
  // on, a system-aware window of a process whose system DPI differs from
  // ours has a context no thread of ours can take (ERROR_INVALID_PARAMETER),
  // and the thread keeps the awareness it had.
  bool applied() const noexcept { return previous_ != nullptr; }

 private:
  DPI_AWARENESS_CONTEXT previous_ = nullptr;
};

}  // namespace vorel::win32
