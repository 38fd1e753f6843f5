// Audio services on Core Audio: the session's COM apartment, the device
// enumerator, its endpoint collections and endpoints. Each failure is made
// into its error value right where the call returned, on the calling thread.
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/audio_services.h"
#include "platform/errors.h"
#include "platform/win32/core_audio_win32.h"
#include "platform/win32/process_loopback_win32.h"

namespace vorel::win32 {
namespace {

using platform::Endpoint;

class CoreEndpoint final : public Endpoint {
 public:
  CoreEndpoint(ComPtr<IMMDevice> device, EndpointFlow flow)
      : device_(std::move(device)), flow_(flow) {}

  Result<std::unique_ptr<platform::AudioClient>, PlatformError> activate_audio_client() override {
    ComPtr<IAudioClient> client;
    const HRESULT hr = device_->Activate(kIidAudioClient, CLSCTX_ALL, nullptr, client.put_void());
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (!client) return Err(PlatformError::null_result());
    // The client keeps the endpoint, to play silence on it while recording.
    return make_audio_client(std::move(client), device_.share(), flow_);
  }

  Result<std::u16string, PlatformError> get_id() override {
    CoTaskMemPtr<wchar_t> id;
    const HRESULT hr = device_->GetId(id.put());
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (!id) return Err(PlatformError::null_result());
    return to_u16string(id.get(), std::wcslen(id.get()));
  }

  std::optional<std::u16string> friendly_name() override {
    ComPtr<IPropertyStore> store;
    if (failed_and_dropped(device_->OpenPropertyStore(STGM_READ, store.put())) || !store) {
      return std::nullopt;
    }
    ScopedPropVariant value;  // cleared before the store is released
    if (failed_and_dropped(store->GetValue(kPkeyDeviceFriendlyName, value.put()))) {
      return std::nullopt;
    }
    const PROPVARIANT& v = value.get();
    if (v.vt != VT_LPWSTR || v.pwszVal == nullptr) return std::nullopt;
    return to_u16string(v.pwszVal, std::wcslen(v.pwszVal));
  }

 private:
  ComPtr<IMMDevice> device_;
  EndpointFlow flow_;
};

class CoreEndpointCollection final : public platform::EndpointCollection {
 public:
  explicit CoreEndpointCollection(ComPtr<IMMDeviceCollection> collection)
      : collection_(std::move(collection)) {}

  Result<uint32_t, PlatformError> count() override {
    UINT count = 0;
    const HRESULT hr = collection_->GetCount(&count);
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    return static_cast<uint32_t>(count);
  }

  Result<std::unique_ptr<Endpoint>, PlatformError> item(uint32_t index) override {
    ComPtr<IMMDevice> device;
    const HRESULT hr = collection_->Item(index, device.put());
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (!device) return Err(PlatformError::null_result());
    return make_endpoint(std::move(device), EndpointFlow::render);
  }

 private:
  ComPtr<IMMDeviceCollection> collection_;
};

class CoreDeviceEnumerator final : public platform::DeviceEnumerator {
 public:
  explicit CoreDeviceEnumerator(ComPtr<IMMDeviceEnumerator> enumerator)
      : enumerator_(std::move(enumerator)) {}

  Result<std::unique_ptr<Endpoint>, PlatformError> default_render_endpoint() override {
    ComPtr<IMMDevice> device;
    const HRESULT hr = enumerator_->GetDefaultAudioEndpoint(eRender, eConsole, device.put());
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (!device) return Err(PlatformError::null_result());
    return make_endpoint(std::move(device), EndpointFlow::render);
  }

  Result<std::unique_ptr<platform::EndpointCollection>, PlatformError> active_render_endpoints()
      override {
    ComPtr<IMMDeviceCollection> collection;
    const HRESULT hr =
        enumerator_->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, collection.put());
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (!collection) return Err(PlatformError::null_result());
    return std::unique_ptr<platform::EndpointCollection>(
        std::make_unique<CoreEndpointCollection>(std::move(collection)));
  }

 private:
  ComPtr<IMMDeviceEnumerator> enumerator_;
};

class CoreAudioServices final : public platform::AudioServices {
 public:
  Result<std::unique_ptr<platform::DeviceEnumerator>, PlatformError> create_device_enumerator()
      override {
    ComPtr<IMMDeviceEnumerator> enumerator;
    const HRESULT hr = CoCreateInstance(kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                                        kIidMMDeviceEnumerator, enumerator.put_void());
    if (FAILED(hr)) return Err(platform::error_from_hresult(hr));
    if (!enumerator) return Err(PlatformError::null_result());
    return std::unique_ptr<platform::DeviceEnumerator>(
        std::make_unique<CoreDeviceEnumerator>(std::move(enumerator)));
  }

  Result<std::unique_ptr<platform::AudioClient>, std::string> activate_process_loopback(
      uint32_t process_id) override {
    return win32::activate_process_loopback(process_id);
  }

 private:
  ScopedComApartment apartment_;
};

}  // namespace

std::unique_ptr<Endpoint> make_endpoint(ComPtr<IMMDevice> device, EndpointFlow flow) {
  return std::make_unique<CoreEndpoint>(std::move(device), flow);
}

}  // namespace vorel::win32

namespace vorel::platform {

std::unique_ptr<AudioServices> open_audio_services() {
  return std::make_unique<win32::CoreAudioServices>();
}

}  // namespace vorel::platform
