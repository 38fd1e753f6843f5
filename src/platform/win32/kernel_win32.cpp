// Kernel services on Windows: the thread's last error and its COM error
// information.
#include <memory>
#include <optional>
#include <string>

#include "platform/kernel.h"
#include "platform/memory.h"
#include "platform/win32/compat.h"
#include "platform/win32/scoped.h"

namespace vorel::platform {
namespace {

// The thread's IErrorInfo, taken by an error value and released with it.
class ComErrorInfo final : public ErrorInfo {
 public:
  explicit ComErrorInfo(win32::ComPtr<IErrorInfo> info) : info_(std::move(info)) {}

  std::optional<RestrictedErrorDetails> restricted_details() const override {
    auto restricted = info_.query<IRestrictedErrorInfo>(win32::kIidRestrictedErrorInfo);
    if (!restricted) return std::nullopt;
    RestrictedErrorDetails details;
    // Every string handed back is freed on leaving, the taken ones copied.
    win32::Bstr description;
    win32::Bstr restricted_description;
    win32::Bstr capability_sid;
    HRESULT error = S_OK;
    if (SUCCEEDED(restricted->GetErrorDetails(description.put(), &error,
                                              restricted_description.put(),
                                              capability_sid.put()))) {
      details.description = description.text();
      details.restricted_description = restricted_description.text();
    }
    return details;
  }

  std::optional<std::u16string> description() const override {
    win32::Bstr text;
    if (FAILED(info_->GetDescription(text.put()))) return std::nullopt;
    return text.text();
  }

  IErrorInfo* get() const { return info_.get(); }

 private:
  win32::ComPtr<IErrorInfo> info_;
};

}  // namespace

int32_t last_error() { return static_cast<int32_t>(GetLastError()); }

void set_last_error(int32_t code) { SetLastError(static_cast<DWORD>(code)); }

int32_t last_os_error() { return static_cast<int32_t>(GetLastError()); }

ErrorInfoPtr take_thread_error_info() {
  win32::ComPtr<IErrorInfo> info;
  // S_FALSE with a null pointer when the thread has none.
  if (GetErrorInfo(0, info.put()) != S_OK || !info) return nullptr;
  return std::make_unique<ComErrorInfo>(std::move(info));
}

void set_thread_error_info(ErrorInfoPtr info) {
  if (!info) return;
  // SetErrorInfo takes a reference of its own; ours goes with `info`.
  if (const auto* com = dynamic_cast<const ComErrorInfo*>(info.get())) {
    (void)SetErrorInfo(0, com->get());
    return;
  }
  // Information of another kind (a text of our own) travels as a new COM
  // error object carrying its description, so that the thread's slot behaves
  // the same whatever kind was put in.
  win32::ComPtr<ICreateErrorInfo> create;
  if (FAILED(CreateErrorInfo(create.put()))) return;
  if (std::optional<std::u16string> text = info->description()) {
    std::wstring wide = win32::to_wstring(*text);
    (void)create->SetDescription(wide.data());
  }
  if (auto error_info = create.query<IErrorInfo>(IID_IErrorInfo)) {
    (void)SetErrorInfo(0, error_info.get());
  }
}

// Large pages on Windows need the "lock pages in memory" privilege and a
// dedicated allocation; ordinary heap blocks cannot be advised into them.
void advise_huge_pages(uint8_t*, size_t) {}

}  // namespace vorel::platform
