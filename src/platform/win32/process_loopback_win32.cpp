#include "platform/win32/process_loopback_win32.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <utility>

#include "platform/errors.h"
#include "platform/silence_fill.h"
#include "platform/kernel.h"
#include "platform/win32/com_entry.h"
#include "platform/win32/core_audio_win32.h"
#include "util/clock.h"
#include "platform/system_clock.h"

namespace vorel::win32 {
namespace {

// The COM objects below free themselves when their count falls to 0. Each is
// one allocation made and freed only here: owned by a unique_ptr until its
// first reference is handed out, and owned by one again at its final
// release.
template <class T, class... Args>
T* create_counted(Args&&... args) {
  return std::make_unique<T>(std::forward<Args>(args)...).release();
}

template <class T>
void destroy_counted(T* object) noexcept {
  std::unique_ptr<T> owner(object);
}

// The reference count of one of those objects: it starts at 1, the
// creator's reference, and the object frees itself when it falls to 0.
template <class T>
class SelfFreeing {
 protected:
  ULONG add_ref() noexcept { return ++count_; }
  ULONG release() noexcept {
    const ULONG left = --count_;
    if (left == 0) destroy_counted(static_cast<T*>(this));
    return left;
  }
  std::atomic<ULONG> count_{1};
};

// How a method the platform calls reports a failure: the error's
// information becomes the thread's, and its code is returned.
HRESULT return_failure(PlatformError error) {
  platform::set_thread_error_info(error.take_info());
  return error.code_or_ok();
}

// A caller written in C can pass a null interface id, which a reference
// cannot express; the address is read through a volatile so that the
// compiler cannot assume it away.
bool is_null(const IID& iid) noexcept {
  const IID* volatile address = &iid;
  return address == nullptr;
}

// The interface GetActivateResult handed back.
class ActivatedUnknown final : public ActivatedInterface {
 public:
  explicit ActivatedUnknown(ComPtr<IUnknown> unknown) : unknown_(std::move(unknown)) {}

  Result<std::unique_ptr<platform::AudioClient>, PlatformError> query_audio_client() override {
    ComPtr<IAudioClient> client;
    const HRESULT hr = unknown_->QueryInterface(kIidAudioClient, client.put_void());
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (!client) return std::unique_ptr<platform::AudioClient>();
    // A process stream belongs to no endpoint: there is none to keep
    // running with silence.
    return make_audio_client(std::move(client), ComPtr<IMMDevice>(), EndpointFlow::render);
  }

 private:
  ComPtr<IUnknown> unknown_;
};

Result<ActivateResult, PlatformError> activate_result(
    IActivateAudioInterfaceAsyncOperation& operation) {
  HRESULT activation = S_OK;
  ComPtr<IUnknown> activated;  // released on every path
  const HRESULT hr = operation.GetActivateResult(&activation, activated.put());
  if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
  ActivateResult result;
  result.activation_result = activation;
  if (activated) result.activated = std::make_unique<ActivatedUnknown>(std::move(activated));
  return result;
}

class CompletionHandler;

// The weak-reference source of a handler and the weak reference it hands
// out, in one object with a count of its own: it outlives the handler, which
// cuts the link when it goes.
class WeakLink final : public IWeakReferenceSource,
                       public IWeakReference,
                       public SelfFreeing<WeakLink> {
 public:
  explicit WeakLink(CompletionHandler* target) : target_(target) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (is_null(iid) || out == nullptr) {
      if (out != nullptr) *out = nullptr;
      return E_POINTER;
    }
    *out = nullptr;
    if (iid == kIidUnknown || iid == kIidWeakReferenceSource) {
      *out = static_cast<IWeakReferenceSource*>(this);
    } else if (iid == kIidWeakReference) {
      *out = static_cast<IWeakReference*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

  HRESULT STDMETHODCALLTYPE GetWeakReference(IWeakReference** out) override {
    if (out == nullptr) return E_POINTER;
    AddRef();
    *out = this;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Resolve(REFIID iid, IInspectable** out) override {
    return guarded_entry([&] { return resolve(iid, out); });
  }

  // The handler's last act before it is freed.
  void detach() noexcept {
    std::lock_guard<std::mutex> lock(mutex_);
    target_ = nullptr;
  }

 private:
  HRESULT resolve(REFIID iid, IInspectable** out);

  std::mutex mutex_;
  CompletionHandler* target_;  // guarded by mutex_
};

// The handler the platform reports the activation to. Its identity is the
// IInspectable table; both tables share one count.
class CompletionHandler final : public IInspectable,
                                public IActivateAudioInterfaceCompletionHandler,
                                public SelfFreeing<CompletionHandler> {
 public:
  explicit CompletionHandler(ActivationCompletion completion)
      : completion_(std::move(completion)) {}

  ~CompletionHandler() {
    if (weak_) weak_->detach();
  }

  CompletionHandler(const CompletionHandler&) = delete;
  CompletionHandler& operator=(const CompletionHandler&) = delete;

  // Every method the platform can reach through the two tables is guarded
  // where it can throw: QueryInterface (it makes the marshaler and the weak
  // link) and ActivateCompleted.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (is_null(iid) || out == nullptr) {
      if (out != nullptr) *out = nullptr;
      return E_POINTER;
    }
    *out = nullptr;
    return guarded_entry([&] { return query_interface(iid, out); });
  }

  HRESULT query_interface(REFIID iid, void** out) {
    if (iid == kIidUnknown || iid == kIidInspectable || iid == kIidAgileObject) {
      *out = identity();
    } else if (iid == kIidActivateAudioInterfaceCompletionHandler) {
      *out = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
    } else if (iid == kIidMarshal) {
      return new_marshaler(out);
    } else if (iid == kIidWeakReferenceSource) {
      return weak_source(out);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

  // A count that has reached 0 stays there: a weak reference resolves only
  // while some strong one is left.
  bool add_ref_if_alive() noexcept {
    ULONG count = count_.load();
    while (count != 0) {
      if (count_.compare_exchange_weak(count, count + 1)) return true;
    }
    return false;
  }

  HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override {
    if (count == nullptr || iids == nullptr) return E_POINTER;
    *count = 0;
    *iids = nullptr;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override {
    if (name == nullptr) return E_POINTER;
    *name = nullptr;  // the empty string
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override {
    if (level == nullptr) return E_POINTER;
    *level = BaseTrust;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ActivateCompleted(
      IActivateAudioInterfaceAsyncOperation* operation) override {
    if (operation == nullptr) return E_POINTER;
    return guarded_entry(
        [&] {
          if (auto failure = completion_.completed(activate_result(*operation))) {
            return return_failure(std::move(*failure));
          }
          return S_OK;
        },
        // The worker learns the failure at once rather than at its time-out.
        [&](HRESULT failure) noexcept { completion_.abandon(failure); });
  }

 private:
  IInspectable* identity() noexcept { return static_cast<IInspectable*>(this); }

  HRESULT new_marshaler(void** out);

  HRESULT weak_source(void** out) {
    std::lock_guard<std::mutex> lock(weak_mutex_);
    if (!weak_) weak_.attach(create_counted<WeakLink>(this));
    weak_->AddRef();
    *out = static_cast<IWeakReferenceSource*>(weak_.get());
    return S_OK;
  }

  ActivationCompletion completion_;  // the references to both records
  std::mutex weak_mutex_;
  ComPtr<WeakLink> weak_;  // made at the first request, then shared
};

HRESULT WeakLink::resolve(REFIID iid, IInspectable** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  CompletionHandler* target = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (target_ != nullptr && target_->add_ref_if_alive()) target = target_;
  }
  if (target == nullptr) return S_OK;  // gone: no object, and no error
  // Outside the lock: this Release may be the last, and the handler then
  // detaches itself.
  const HRESULT hr = target->QueryInterface(iid, reinterpret_cast<void**>(out));
  target->Release();
  return hr;
}

// The handler marshals free-threaded, so the platform may call it from any
// thread without a proxy: the free-threaded marshaler does the work, and
// every other request goes back to the handler.
class HandlerMarshaler final : public IMarshal, public SelfFreeing<HandlerMarshaler> {
 public:
  HandlerMarshaler(ComPtr<IInspectable> handler, ComPtr<IMarshal> inner)
      : handler_(std::move(handler)), inner_(std::move(inner)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!is_null(iid) && out != nullptr && iid == kIidMarshal) {
      AddRef();
      *out = static_cast<IMarshal*>(this);
      return S_OK;
    }
    return handler_->QueryInterface(iid, out);  // null arguments included
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return add_ref(); }
  ULONG STDMETHODCALLTYPE Release() override { return release(); }

  HRESULT STDMETHODCALLTYPE GetUnmarshalClass(REFIID iid, void* object, DWORD context,
                                              void* context_data, DWORD flags,
                                              CLSID* clsid) override {
    return inner_->GetUnmarshalClass(iid, object, context, context_data, flags, clsid);
  }

  HRESULT STDMETHODCALLTYPE GetMarshalSizeMax(REFIID iid, void* object, DWORD context,
                                              void* context_data, DWORD flags,
                                              DWORD* size) override {
    return inner_->GetMarshalSizeMax(iid, object, context, context_data, flags, size);
  }

  HRESULT STDMETHODCALLTYPE MarshalInterface(IStream* stream, REFIID iid, void* object,
                                             DWORD context, void* context_data,
                                             DWORD flags) override {
    return inner_->MarshalInterface(stream, iid, object, context, context_data, flags);
  }

  HRESULT STDMETHODCALLTYPE UnmarshalInterface(IStream* stream, REFIID iid,
                                               void** object) override {
    return inner_->UnmarshalInterface(stream, iid, object);
  }

  HRESULT STDMETHODCALLTYPE ReleaseMarshalData(IStream* stream) override {
    return inner_->ReleaseMarshalData(stream);
  }

  HRESULT STDMETHODCALLTYPE DisconnectObject(DWORD reserved) override {
    return inner_->DisconnectObject(reserved);
  }

 private:
  // Released in reverse: the inner marshaler, then the handler.
  ComPtr<IInspectable> handler_;
  ComPtr<IMarshal> inner_;
};

HRESULT CompletionHandler::new_marshaler(void** out) {
  ComPtr<IMarshal> inner;
  {
    ComPtr<IUnknown> free_threaded;
    HRESULT hr = CoCreateFreeThreadedMarshaler(nullptr, free_threaded.put());
    if (FAILED(hr)) return return_failure(platform::error_from_hresult(hr));
    if (!free_threaded) return E_NOINTERFACE;
    hr = free_threaded->QueryInterface(kIidMarshal, inner.put_void());
    if (FAILED(hr)) return return_failure(platform::error_from_hresult(hr));
    if (!inner) return E_NOINTERFACE;
  }
  AddRef();
  ComPtr<IInspectable> self;
  self.attach(identity());
  *out = static_cast<IMarshal*>(create_counted<HandlerMarshaler>(std::move(self), std::move(inner)));
  return S_OK;
}

}  // namespace

ProcessLoopbackParams::ProcessLoopbackParams(uint32_t process_id) noexcept {
  record_.ActivationType = AUDIOCLIENT_ACTIVATION_TYPE_PROCESS_LOOPBACK;
  record_.ProcessLoopbackParams.TargetProcessId = process_id;  // not validated: 0 included
  record_.ProcessLoopbackParams.ProcessLoopbackMode =
      PROCESS_LOOPBACK_MODE_INCLUDE_TARGET_PROCESS_TREE;
  PropVariantInit(&carrier_);
  carrier_.vt = VT_BLOB;
  carrier_.blob.cbSize = sizeof(record_);
  carrier_.blob.pBlobData = reinterpret_cast<BYTE*>(&record_);
}

ComPtr<IActivateAudioInterfaceCompletionHandler> make_activation_handler(
    ActivationCompletion completion) {
  ComPtr<IActivateAudioInterfaceCompletionHandler> handler;
  handler.attach(create_counted<CompletionHandler>(std::move(completion)));
  return handler;
}

Result<std::unique_ptr<platform::AudioClient>, std::string> activate_audio_client_async(
    const wchar_t* path, PROPVARIANT* params, std::chrono::nanoseconds timeout) {
  // Released newest first on every path: the operation, the worker's
  // reference to the handler, then the worker's references to the records.
  PendingActivation pending;
  ComPtr<IActivateAudioInterfaceCompletionHandler> handler =
      make_activation_handler(pending.completion());
  ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
  const HRESULT hr =
      ActivateAudioInterfaceAsync(path, kIidAudioClient, params, handler.get(), operation.put());
  if (FAILED(hr)) return Err(activation_request_failed(platform::error_from_hresult(hr)));
  if (!operation) return Err(activation_request_failed(PlatformError::null_result()));
  return pending.wait(timeout);
}

Result<std::unique_ptr<platform::AudioClient>, std::string> activate_process_loopback(
    uint32_t process_id) {
  ProcessLoopbackParams params(process_id);
  auto client = activate_audio_client_async(VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, params.get(),
                                            kProcessActivationTimeout);
  if (!client) return client;
  return fill_silence_gaps(std::move(client).value(), system_clock());
}

}  // namespace vorel::win32
