// Process-loopback activation on a real COM runtime: the completion handler
// as the platform sees it, and ActivateAudioInterfaceAsync itself. Wine 8
// answers the process-loopback device with 0x80070002 and an endpoint's id
// with an IAudioClient, which runs both ends of the handler.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "audio/loopback_engine.h"
#include "platform/errors.h"
#include "platform/process_activation.h"
#include "platform/file.h"
#include "platform/win32/com_entry.h"
#include "platform/win32/process_loopback_win32.h"
#include "util/clock.h"
#include "win/failing_allocation.h"
#include "platform/system_clock.h"

namespace {

using std::chrono::milliseconds;
using vorel::PendingActivation;
using vorel::PlatformError;
using vorel::platform::render;
using vorel::win32::ComPtr;
using vorel::win32::CoTaskMemPtr;
using vorel::win32::ScopedComApartment;
namespace w = vorel::win32;

constexpr HRESULT kFileNotFound = static_cast<HRESULT>(0x80070002u);

bool has_default_output(std::u16string* id = nullptr) {
  ScopedComApartment apartment;
  ComPtr<IMMDeviceEnumerator> enumerator;
  ComPtr<IMMDevice> device;
  CoTaskMemPtr<wchar_t> text;
  if (FAILED(CoCreateInstance(w::kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                              w::kIidMMDeviceEnumerator, enumerator.put_void())) ||
      FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put())) ||
      FAILED(device->GetId(text.put()))) {
    return false;
  }
  if (id != nullptr) *id = w::to_u16string(text.get(), std::wcslen(text.get()));
  return true;
}

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

constexpr char kActivationFailed[] = "Process loopback activation failed: ";

#define REQUIRE_SOUND_SERVER()                                                 \
  do {                                                                         \
    if (!has_default_output()) GTEST_SKIP() << "no default output endpoint";   \
  } while (false)

template <class T>
ComPtr<T> query(IUnknown* object, const IID& iid, HRESULT* hr = nullptr) {
  ComPtr<T> out;
  const HRESULT result = object->QueryInterface(iid, out.put_void());
  if (hr != nullptr) *hr = result;
  return out;
}

// QueryInterface as a C caller can make it, with a null interface id.
HRESULT query_null_iid(IUnknown* object, void** out) {
  using Fn = HRESULT(STDMETHODCALLTYPE*)(IUnknown*, const IID*, void**);
  return (*reinterpret_cast<Fn**>(object))[0](object, nullptr, out);
}

// The handler's count as AddRef/Release report it.
ULONG count_of(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

struct Handler {
  ScopedComApartment apartment;
  PendingActivation pending;
  ComPtr<IActivateAudioInterfaceCompletionHandler> handler =
      w::make_activation_handler(pending.completion());
  ComPtr<IUnknown> identity = query<IUnknown>(handler.get(), w::kIidUnknown);
};

// --- the handler as a COM object ---------------------------------------------------

TEST(WinActivationHandler, AnswersItsInterfacesFromBothTables) {
  Handler h;
  ASSERT_TRUE(h.identity);
  ASSERT_NE(static_cast<void*>(h.identity.get()), static_cast<void*>(h.handler.get()));
  for (IUnknown* from : {static_cast<IUnknown*>(h.handler.get()), h.identity.get()}) {
    for (const IID* iid : {&w::kIidUnknown, &w::kIidInspectable, &w::kIidAgileObject}) {
      EXPECT_EQ(query<IUnknown>(from, *iid).get(), h.identity.get());
    }
    EXPECT_EQ(query<IUnknown>(from, w::kIidActivateAudioInterfaceCompletionHandler).get(),
              static_cast<IUnknown*>(h.handler.get()));
    auto marshaler = query<IMarshal>(from, w::kIidMarshal);
    ASSERT_TRUE(marshaler);
    EXPECT_NE(static_cast<void*>(marshaler.get()), static_cast<void*>(h.identity.get()));
    auto source = query<IWeakReferenceSource>(from, w::kIidWeakReferenceSource);
    ASSERT_TRUE(source);
    EXPECT_EQ(query<IWeakReferenceSource>(from, w::kIidWeakReferenceSource).get(), source.get())
        << "one source, shared";

    void* out = &out;
    EXPECT_EQ(from->QueryInterface(w::kIidAudioClient, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(from->QueryInterface(w::kIidUnknown, nullptr), E_POINTER);
    out = &out;
    EXPECT_EQ(query_null_iid(from, &out), E_POINTER);
    EXPECT_EQ(out, nullptr);
  }
}

TEST(WinActivationHandler, BothTablesShareOneCountAndTheLastReleaseFreesIt) {
  Handler h;
  EXPECT_EQ(h.pending.slot.use_count(), 2) << "the worker's and the handler's";
  EXPECT_EQ(count_of(h.identity.get()), 2u);
  EXPECT_EQ(h.handler->AddRef(), 3u);
  EXPECT_EQ(h.identity->AddRef(), 4u);
  EXPECT_EQ(h.handler->Release(), 3u);
  EXPECT_EQ(h.identity->Release(), 2u);
  h.identity.reset();
  h.handler.reset();
  EXPECT_EQ(h.pending.slot.use_count(), 1);
  EXPECT_EQ(h.pending.signal.use_count(), 1);
}

TEST(WinActivationHandler, MarshalsFreeThreadedThroughItsOwnWrapper) {
  Handler h;
  auto marshaler = query<IMarshal>(h.handler.get(), w::kIidMarshal);
  ASSERT_TRUE(marshaler);
  EXPECT_EQ(count_of(h.identity.get()), 3u) << "the wrapper holds the handler";
  EXPECT_EQ(query<IMarshal>(marshaler.get(), w::kIidMarshal).get(), marshaler.get());
  EXPECT_EQ(query<IUnknown>(marshaler.get(), w::kIidUnknown).get(), h.identity.get());
  EXPECT_EQ(query<IUnknown>(marshaler.get(), w::kIidActivateAudioInterfaceCompletionHandler).get(),
            static_cast<IUnknown*>(h.handler.get()));
  void* none = &none;
  EXPECT_EQ(marshaler->QueryInterface(w::kIidAudioClient, &none), E_NOINTERFACE);
  EXPECT_EQ(none, nullptr);

  ComPtr<IUnknown> free_threaded;
  ASSERT_EQ(CoCreateFreeThreadedMarshaler(nullptr, free_threaded.put()), S_OK);
  auto reference = query<IMarshal>(free_threaded.get(), w::kIidMarshal);
  CLSID ours{};
  CLSID theirs{};
  const IID& iid = w::kIidActivateAudioInterfaceCompletionHandler;
  ASSERT_EQ(reference->GetUnmarshalClass(iid, h.handler.get(), MSHCTX_INPROC, nullptr,
                                         MSHLFLAGS_NORMAL, &theirs),
            S_OK);
  EXPECT_EQ(marshaler->GetUnmarshalClass(iid, h.handler.get(), MSHCTX_INPROC, nullptr,
                                         MSHLFLAGS_NORMAL, &ours),
            S_OK);
  EXPECT_EQ(ours, theirs);
  marshaler.reset();
  EXPECT_EQ(count_of(h.identity.get()), 2u) << "the wrapper let go of the handler";

  // Handed to a single-threaded apartment, the handler arrives as itself,
  // not as a proxy.
  ComPtr<IStream> stream;
  ASSERT_EQ(CoMarshalInterThreadInterfaceInStream(iid, h.handler.get(), stream.put()), S_OK);
  void* arrived = nullptr;
  std::thread([&] {
    ASSERT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    {
      ComPtr<IActivateAudioInterfaceCompletionHandler> got;
      EXPECT_EQ(CoUnmarshalInterface(stream.get(), iid, got.put_void()), S_OK);
      arrived = got.get();
    }
    CoUninitialize();
  }).join();
  EXPECT_EQ(arrived, static_cast<void*>(h.handler.get()));
}

TEST(WinActivationHandler, WeakReferenceResolvesOnlyWhileTheHandlerLives) {
  Handler h;
  ComPtr<IWeakReference> weak;
  {
    auto source = query<IWeakReferenceSource>(h.handler.get(), w::kIidWeakReferenceSource);
    ASSERT_TRUE(source);
    ASSERT_EQ(source->GetWeakReference(weak.put()), S_OK);
  }
  ASSERT_TRUE(weak);
  EXPECT_EQ(count_of(h.identity.get()), 2u) << "weak references hold no count";
  {
    ComPtr<IInspectable> strong;
    EXPECT_EQ(weak->Resolve(w::kIidActivateAudioInterfaceCompletionHandler, strong.put()), S_OK);
    EXPECT_EQ(static_cast<void*>(strong.get()), static_cast<void*>(h.handler.get()));
    EXPECT_EQ(weak->Resolve(w::kIidInspectable, strong.put()), S_OK);
    EXPECT_EQ(static_cast<IUnknown*>(strong.get()), h.identity.get());
    EXPECT_EQ(weak->Resolve(w::kIidAudioClient, strong.put()), E_NOINTERFACE);
  }
  h.identity.reset();
  h.handler.reset();
  EXPECT_EQ(h.pending.slot.use_count(), 1) << "freed, though the weak reference lives";
  ComPtr<IInspectable> gone;
  EXPECT_EQ(weak->Resolve(w::kIidInspectable, gone.put()), S_OK);
  EXPECT_FALSE(gone);
}

TEST(WinActivationHandler, InspectionMethods) {
  Handler h;
  auto inspectable = query<IInspectable>(h.handler.get(), w::kIidInspectable);
  ULONG count = 7;
  IID placeholder{};
  IID* iids = &placeholder;
  EXPECT_EQ(inspectable->GetIids(&count, &iids), S_OK);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(iids, nullptr);
  HSTRING name = reinterpret_cast<HSTRING>(&count);
  EXPECT_EQ(inspectable->GetRuntimeClassName(&name), S_OK);
  EXPECT_EQ(name, nullptr);
  TrustLevel level = FullTrust;
  EXPECT_EQ(inspectable->GetTrustLevel(&level), S_OK);
  EXPECT_EQ(level, BaseTrust);
  EXPECT_EQ(inspectable->GetIids(nullptr, &iids), E_POINTER);
  EXPECT_EQ(inspectable->GetIids(&count, nullptr), E_POINTER);
  EXPECT_EQ(inspectable->GetRuntimeClassName(nullptr), E_POINTER);
  EXPECT_EQ(inspectable->GetTrustLevel(nullptr), E_POINTER);
}

// --- ActivateCompleted with operations of our own --------------------------------------

class ScriptedOperation final : public IActivateAudioInterfaceAsyncOperation {
 public:
  HRESULT call_result = S_OK;
  HRESULT activation_result = S_OK;
  IUnknown* activated = nullptr;  // handed out with a reference of its own
  const wchar_t* error_description = nullptr;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override { return --count_; }
  HRESULT STDMETHODCALLTYPE GetActivateResult(HRESULT* result, IUnknown** out) override {
    *result = activation_result;
    *out = activated;
    if (activated != nullptr) activated->AddRef();
    if (error_description != nullptr) {
      ComPtr<ICreateErrorInfo> create;
      if (SUCCEEDED(CreateErrorInfo(create.put()))) {
        (void)create->SetDescription(const_cast<wchar_t*>(error_description));
        auto info = query<IErrorInfo>(create.get(), IID_IErrorInfo);
        (void)SetErrorInfo(0, info.get());
      }
    }
    return call_result;
  }

 private:
  std::atomic<ULONG> count_{1};
};

TEST(WinActivationHandler, ActivateCompletedReportsAndFails) {
  Handler h;
  EXPECT_EQ(h.handler->ActivateCompleted(nullptr), E_POINTER);

  // The call itself fails: its error information is the thread's again,
  // and nothing reaches the worker.
  ScriptedOperation broken;
  broken.call_result = E_FAIL;
  broken.error_description = L"operation broke";
  broken.activated = h.identity.get();
  EXPECT_EQ(h.handler->ActivateCompleted(&broken), E_FAIL);
  ComPtr<IErrorInfo> info;
  ASSERT_EQ(GetErrorInfo(0, info.put()), S_OK);
  w::Bstr description;
  ASSERT_EQ(info->GetDescription(description.put()), S_OK);
  EXPECT_EQ(description.text(), std::optional<std::u16string>(u"operation broke"));
  EXPECT_EQ(count_of(h.identity.get()), 2u) << "the interface handed back was released";
  auto nothing = h.pending.wait(milliseconds(0));
  ASSERT_FALSE(nothing.ok());
  EXPECT_EQ(nothing.error(), "Process audio loopback activation timed out.");

  // Something that is no audio client.
  ScriptedOperation not_a_client;
  not_a_client.activated = h.identity.get();
  EXPECT_EQ(h.handler->ActivateCompleted(&not_a_client), S_OK);
  EXPECT_EQ(count_of(h.identity.get()), 2u);
  auto refused = h.pending.wait(milliseconds(0));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(), "Process loopback activation failed: " +
                                 render(PlatformError::with_info(E_NOINTERFACE, nullptr)));
}

// --- nothing thrown reaches the platform ---------------------------------------------

TEST(WinComEntry, ExceptionsBecomeTheirHresults) {
  std::vector<HRESULT> told;
  auto tell = [&](HRESULT hr) noexcept { told.push_back(hr); };
  EXPECT_EQ(w::guarded_entry([] { return S_FALSE; }, tell), S_FALSE);
  EXPECT_EQ(w::guarded_entry([]() -> HRESULT { throw std::bad_alloc(); }, tell), E_OUTOFMEMORY);
  EXPECT_EQ(w::guarded_entry(
                []() -> HRESULT {
                  throw std::system_error(std::make_error_code(std::errc::not_enough_memory));
                },
                tell),
            E_OUTOFMEMORY);
  EXPECT_EQ(w::guarded_entry(
                []() -> HRESULT {
                  throw std::system_error(
                      std::make_error_code(std::errc::resource_deadlock_would_occur));
                },
                tell),
            E_UNEXPECTED);
  EXPECT_EQ(w::guarded_entry([]() -> HRESULT { throw 42; }), E_UNEXPECTED);
  EXPECT_EQ(told, (std::vector<HRESULT>{E_OUTOFMEMORY, E_OUTOFMEMORY, E_UNEXPECTED}))
      << "told of failures only, and not by the overload without a listener";
}

TEST(WinActivationHandler, AFailedAllocationInQueryInterfaceIsOutOfMemory) {
  Handler h;
  for (const IID* iid : {&w::kIidWeakReferenceSource, &w::kIidMarshal}) {
    for (IUnknown* from : {static_cast<IUnknown*>(h.handler.get()), h.identity.get()}) {
      void* out = &out;
      vorel::testing::fail_allocation(1);
      const HRESULT hr = from->QueryInterface(*iid, &out);
      const bool failed = vorel::testing::allocation_failed();
      vorel::testing::fail_allocation(0);
      ASSERT_TRUE(failed) << "the query allocates";
      EXPECT_EQ(hr, E_OUTOFMEMORY);
      EXPECT_EQ(out, nullptr);
      EXPECT_EQ(count_of(h.identity.get()), 2u) << "no reference left behind";
    }
    // Nothing was kept half made: the next query succeeds.
    ComPtr<IUnknown> got = query<IUnknown>(h.handler.get(), *iid);
    EXPECT_TRUE(got);
  }
}

TEST(WinActivationHandler, AFailedAllocationInActivateCompletedTellsTheWorkerAtOnce) {
  Handler h;
  ScriptedOperation operation;
  operation.activated = h.identity.get();
  vorel::testing::fail_allocation(1);
  const HRESULT hr = h.handler->ActivateCompleted(&operation);
  const bool failed = vorel::testing::allocation_failed();
  vorel::testing::fail_allocation(0);
  ASSERT_TRUE(failed);
  EXPECT_EQ(hr, E_OUTOFMEMORY);
  EXPECT_EQ(count_of(h.identity.get()), 2u) << "the interface handed back was released";
  auto result = h.pending.wait(milliseconds(0));
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "Process loopback activation failed: " +
                                render(PlatformError::with_info(E_OUTOFMEMORY, nullptr)));
}

// --- the platform's activation ---------------------------------------------------------

// Stands in front of our handler to see what the platform does with it.
class WatchingHandler final : public IActivateAudioInterfaceCompletionHandler {
 public:
  explicit WatchingHandler(ComPtr<IActivateAudioInterfaceCompletionHandler> inner)
      : inner_(std::move(inner)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    ++queries;
    return inner_->QueryInterface(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }
  HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation* op) override {
    thread = GetCurrentThreadId();
    ++completions;
    return inner_->ActivateCompleted(op);
  }

  std::atomic<ULONG> count{1};
  std::atomic<int> queries{0};
  std::atomic<int> completions{0};
  std::atomic<DWORD> thread{0};

 private:
  ComPtr<IActivateAudioInterfaceCompletionHandler> inner_;
};

// Wine 8 completes the process-loopback activation with 0x80070002; Windows
// 10 2004 and later deliver a client, earlier versions a failure of their
// own. Either way the platform reports once, on a thread of its own.
TEST(WinProcessLoopback, PlatformCompletesOnceOnAnotherThread) {
  REQUIRE_SOUND_SERVER();
  ScopedComApartment apartment;
  PendingActivation pending;
  auto watcher = std::make_unique<WatchingHandler>(w::make_activation_handler(pending.completion()));
  w::ProcessLoopbackParams params(GetCurrentProcessId());
  {
    ComPtr<IActivateAudioInterfaceAsyncOperation> operation;
    const HRESULT requested = ActivateAudioInterfaceAsync(
        VIRTUAL_AUDIO_DEVICE_PROCESS_LOOPBACK, w::kIidAudioClient, params.get(), watcher.get(),
        operation.put());
    if (FAILED(requested) && !under_wine()) {
      GTEST_SKIP() << "no process loopback on this system: " << std::hex << requested;
    }
    ASSERT_TRUE(SUCCEEDED(requested));
    ASSERT_TRUE(operation);
    auto result = pending.wait(std::chrono::seconds(10));
    if (under_wine()) {
      ASSERT_FALSE(result.ok());
      EXPECT_EQ(result.error(), kActivationFailed +
                                    render(PlatformError::with_info(kFileNotFound, nullptr)));
    } else if (!result.ok()) {
      EXPECT_EQ(result.error().rfind(kActivationFailed, 0), 0u) << result.error();
    } else {
      EXPECT_NE(*result, nullptr);
    }
  }
  EXPECT_EQ(watcher->completions.load(), 1);
  EXPECT_NE(watcher->thread.load(), 0u);
  EXPECT_NE(watcher->thread.load(), GetCurrentThreadId());
  // Whether the platform asks for the handler's interfaces (Wine 8 asks for
  // none of them, IAgileObject and IMarshal included).
  RecordProperty("queries", watcher->queries.load());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (watcher->count.load() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  if (watcher->count.load() > 1) {
    (void)watcher.release();  // still the platform's: never freed under it
    FAIL() << "the platform kept the handler";
  }
}

TEST(WinProcessLoopback, AnEndpointPathDeliversAWorkingClient) {
  std::u16string id;
  if (!has_default_output(&id)) GTEST_SKIP() << "no default output endpoint";
  ScopedComApartment apartment;
  // The endpoint's device interface path: its id between the software
  // device prefix and the render interface class.
  const std::wstring path = L"\\\\?\\SWD#MMDEVAPI#" + w::to_wstring(id) +
                            L"#{e6327cad-dcec-4949-ae8a-991e976a79d2}";
  auto client = w::activate_audio_client_async(path.c_str(), nullptr, std::chrono::seconds(10));
  ASSERT_TRUE(client.ok()) << client.error();
  auto format = (*client)->get_mix_format();
  ASSERT_TRUE(format.ok()) << render(format.error());
  const uint32_t rate = (*format)->samples_per_sec();
  EXPECT_GT(rate, 0u);
  EXPECT_GT((*format)->channels(), 0u);
  EXPECT_TRUE((*client)->initialize_loopback(**format).ok());
  auto buffer = (*client)->get_buffer_size();
  ASSERT_TRUE(buffer.ok());
  // The one second asked for; Windows may round it up.
  EXPECT_GE(*buffer, rate);
  EXPECT_LT(*buffer, rate * 2);
  if (under_wine()) {
    // The test server's sink.
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ((*format)->channels(), 2u);
    EXPECT_EQ(*buffer, 48000u);
  }
}

TEST(WinProcessLoopback, ParametersNameTheProcessTree) {
  for (uint32_t pid : {4321u, 0u}) {
    w::ProcessLoopbackParams params(pid);
    const PROPVARIANT& v = *params.get();
    EXPECT_EQ(v.vt, VT_BLOB);
    EXPECT_EQ(v.wReserved1 | v.wReserved2 | v.wReserved3, 0);
    ASSERT_EQ(v.blob.cbSize, 12u);
    uint32_t fields[3] = {};
    std::memcpy(fields, v.blob.pBlobData, sizeof(fields));
    EXPECT_EQ(fields[0], 1u);  // process loopback
    EXPECT_EQ(fields[1], pid);
    EXPECT_EQ(fields[2], 0u);  // the process and its descendants
  }
}

// Under Wine the engine stops at the activation, before the format is
// published. Where the system delivers a process stream it runs on until the
// file, which this test refuses to open.
TEST(WinProcessLoopback, EngineStopsAtTheActivationOrTheFile) {
  REQUIRE_SOUND_SERVER();
  vorel::AudioCaptureState state;
  std::optional<std::string> failure;
  bool opened = false;
  std::thread([&] {
    auto services = vorel::platform::open_audio_services();
    vorel::AudioWorkerEnvironment env{*services, vorel::system_clock()};
    env.open_file = [&](const std::string&)
        -> vorel::Result<std::unique_ptr<vorel::platform::File>, vorel::IoError> {
      opened = true;
      return vorel::Err(vorel::IoError::os(5));
    };
    failure = vorel::run_loopback_capture(state, {"unused.wav", GetCurrentProcessId()}, env);
  }).join();
  ASSERT_TRUE(failure.has_value());
  if (!under_wine() && failure->rfind("Failed to create WAV file: ", 0) == 0) {
    EXPECT_TRUE(state.format_ready.reached());
    EXPECT_TRUE(state.started.reached());
    EXPECT_GT(state.sample_rate.get(), 0u);
    EXPECT_TRUE(opened);
    return;
  }
  if (under_wine()) {
    EXPECT_EQ(*failure, kActivationFailed +
                            render(PlatformError::with_info(kFileNotFound, nullptr)));
  } else {
    // A system without process loopback: the request or its completion fails.
    EXPECT_TRUE(failure->rfind(kActivationFailed, 0) == 0 ||
                failure->rfind("ActivateAudioInterfaceAsync failed: ", 0) == 0)
        << *failure;
  }
  EXPECT_FALSE(state.format_ready.reached());
  EXPECT_FALSE(state.started.reached());
  EXPECT_FALSE(opened);
}

}  // namespace
