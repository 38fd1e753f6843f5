// The Core Audio backend on a real audio stack. Under Wine that is winepulse
// on the private PulseAudio server the cross-build script starts (a 48 kHz
// stereo null sink). Wine's loopback stream initializes but hands out no
// capture service, so real packets are read from the sink's monitor, a
// capture endpoint that Wine does record.
//
// The WinAudioNoServer tests expect no sound server at all; the script runs
// them in a process of their own with VOREL_EXPECT_NO_SOUND_SERVER=1.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/loopback_engine.h"
#include "discovery/audio_devices.h"
#include "platform/audio_services.h"
#include "platform/errors.h"
#include "platform/win32/compat.h"
#include "platform/win32/core_audio_win32.h"
#include "platform/win32/scoped.h"
#include "platform/win32/silence_renderer_win32.h"
#include "util/clock.h"
#include "util/text.h"
#include "platform/system_clock.h"

namespace {

using vorel::AudioCaptureState;
using vorel::AudioDeviceRecord;
using vorel::PlatformError;
using vorel::Result;
using vorel::platform::AudioServices;
using vorel::platform::Endpoint;
using vorel::platform::render;
using vorel::win32::ComPtr;
using vorel::win32::CoTaskMemPtr;
using vorel::win32::ScopedComApartment;

bool under_wine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool expect_no_sound_server() {
  const char* value = std::getenv("VOREL_EXPECT_NO_SOUND_SERVER");
  return value != nullptr && std::string(value) == "1";
}

// The helpers below call into COM: their callers hold an apartment that
// outlives what they hand back.
ComPtr<IMMDeviceEnumerator> device_enumerator() {
  ComPtr<IMMDeviceEnumerator> enumerator;
  if (FAILED(CoCreateInstance(vorel::win32::kClsidMMDeviceEnumerator, nullptr, CLSCTX_ALL,
                              vorel::win32::kIidMMDeviceEnumerator, enumerator.put_void()))) {
    enumerator.reset();
  }
  return enumerator;
}

ComPtr<IMMDevice> default_render_device() {
  auto enumerator = device_enumerator();
  ComPtr<IMMDevice> device;
  if (!enumerator || FAILED(enumerator->GetDefaultAudioEndpoint(eRender, eConsole, device.put()))) {
    device.reset();
  }
  return device;
}

bool has_default_output() {
  ScopedComApartment apartment;
  return static_cast<bool>(default_render_device());
}

#define REQUIRE_SOUND_SERVER()                                                 \
  do {                                                                         \
    if (expect_no_sound_server()) GTEST_SKIP() << "run without sound server"; \
    if (!has_default_output()) GTEST_SKIP() << "no default output endpoint";   \
  } while (false)

// The capture endpoint that records what the sink plays, as an endpoint of
// this backend; null when there is none.
std::unique_ptr<Endpoint> sink_monitor_endpoint() {
  auto enumerator = device_enumerator();
  ComPtr<IMMDeviceCollection> collection;
  UINT count = 0;
  if (!enumerator ||
      FAILED(enumerator->EnumAudioEndpoints(eCapture, DEVICE_STATE_ACTIVE, collection.put())) ||
      FAILED(collection->GetCount(&count))) {
    return nullptr;
  }
  for (UINT i = 0; i < count; ++i) {
    ComPtr<IMMDevice> device;
    if (FAILED(collection->Item(i, device.put()))) continue;
    auto endpoint =
        vorel::win32::make_endpoint(std::move(device), vorel::win32::EndpointFlow::capture);
    auto name = endpoint->friendly_name();
    if (name && name->rfind(u"Monitor of ", 0) == 0) return endpoint;
  }
  return nullptr;
}

// A second of a 1 kHz tone at half scale on the default output endpoint,
// played while the object lives.
class TonePlayer {
 public:
  static constexpr float kAmplitude = 0.5f;

  bool play() {
    ComPtr<IMMDevice> device = default_render_device();
    CoTaskMemPtr<WAVEFORMATEX> format;
    UINT32 frames = 0;
    BYTE* data = nullptr;
    if (!device ||
        FAILED(device->Activate(vorel::win32::kIidAudioClient, CLSCTX_ALL, nullptr,
                                client_.put_void())) ||
        FAILED(client_->GetMixFormat(format.put())) || format->wBitsPerSample != 32 ||
        FAILED(client_->Initialize(AUDCLNT_SHAREMODE_SHARED, 0, 10'000'000, 0, format.get(),
                                   nullptr)) ||
        FAILED(client_->GetBufferSize(&frames)) ||
        FAILED(client_->GetService(vorel::win32::kIidAudioRenderClient, render_.put_void())) ||
        FAILED(render_->GetBuffer(frames, &data))) {
      return false;
    }
    auto* samples = reinterpret_cast<float*>(data);
    const double step = 2.0 * 3.14159265358979 * 1000.0 / format->nSamplesPerSec;
    for (UINT32 f = 0; f < frames; ++f) {
      const auto value = static_cast<float>(kAmplitude * std::sin(step * f));
      for (WORD c = 0; c < format->nChannels; ++c) *samples++ = value;
    }
    return SUCCEEDED(render_->ReleaseBuffer(frames, 0)) && SUCCEEDED(client_->Start());
  }

 private:
  ScopedComApartment apartment_;
  ComPtr<IAudioClient> client_;
  ComPtr<IAudioRenderClient> render_;
};

// A path in the temporary directory where no file is.
std::wstring temp_wav_path(const wchar_t* name) {
  wchar_t dir[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, dir);
  std::wstring path = std::wstring(dir, length) + name +
                      std::to_wstring(GetCurrentProcessId()) + L".wav";
  (void)DeleteFileW(path.c_str());
  return path;
}

bool file_exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// One recording into `path` on a worker thread with its own services, as
// the module runs it; stopped `stop_after` after it started, at once if it
// ends before.
template <class Services>
std::optional<std::string> record(const std::wstring& path, AudioCaptureState& state,
                                  std::chrono::milliseconds stop_after = {}) {
  std::optional<std::string> failure;
  std::atomic<bool> ended{false};
  std::thread worker([&] {
    {
      Services services;
      vorel::AudioWorkerEnvironment env{services.get(), vorel::system_clock()};
      const std::string utf8 =
          vorel::utf16_to_utf8_lossy(vorel::win32::to_u16string(path.data(), path.size()));
      failure = vorel::run_loopback_capture(state, {utf8, std::nullopt}, env);
    }
    ended.store(true);
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!ended.load() && !state.started.reached() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (state.started.reached()) std::this_thread::sleep_for(stop_after);
  state.stop_requested.store(true);
  worker.join();
  return failure;
}

// The backend's own services.
struct CoreServices {
  std::unique_ptr<AudioServices> services = vorel::platform::open_audio_services();
  AudioServices& get() { return *services; }
};

// --- the session ------------------------------------------------------------

TEST(WinAudioSession, LeavesTheApartmentItJoined) {
  HRESULT after = E_FAIL;
  std::thread([&] {
    { auto services = vorel::platform::open_audio_services(); }
    // Still in the multithreaded apartment, this would be RPC_E_CHANGED_MODE.
    after = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(after)) CoUninitialize();
  }).join();
  EXPECT_EQ(after, S_OK);
}

TEST(WinAudioSession, KeepsASingleThreadedApartmentItFoundInPlace) {
  HRESULT before = E_FAIL;
  HRESULT after = E_FAIL;
  std::thread([&] {
    before = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    { auto services = vorel::platform::open_audio_services(); }
    // S_FALSE: the thread is still in its apartment, initialized once.
    after = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (SUCCEEDED(after)) CoUninitialize();
    if (SUCCEEDED(before)) CoUninitialize();
  }).join();
  EXPECT_EQ(before, S_OK);
  EXPECT_EQ(after, S_FALSE);
}

// --- listing and format -------------------------------------------------------

// The listing as the module makes it: on a thread with no apartment yet.
std::vector<AudioDeviceRecord> list_on_new_thread() {
  std::vector<AudioDeviceRecord> records;
  std::thread([&] {
    auto services = vorel::platform::open_audio_services();
    records = vorel::list_audio_devices(*services);
  }).join();
  return records;
}

TEST(WinAudioDevices, ListsEveryOutputByItsFriendlyNameWithOneDefault) {
  REQUIRE_SOUND_SERVER();
  const std::vector<AudioDeviceRecord> records = list_on_new_thread();
  ASSERT_FALSE(records.empty());
  EXPECT_EQ(std::count_if(records.begin(), records.end(),
                          [](const AudioDeviceRecord& r) { return r.is_default; }),
            1);
  for (const AudioDeviceRecord& r : records) {
    EXPECT_NE(r.id, "") << r.name;
    EXPECT_NE(r.id, "default") << "the placeholder";
    EXPECT_NE(r.name.rfind("Audio Device ", 0), 0u) << "no friendly name for " << r.id;
  }
}

TEST(WinAudioDevices, WineListsTheNullSinkByItsDescription) {
  REQUIRE_SOUND_SERVER();
  if (!under_wine()) GTEST_SKIP() << "the null sink is the test server's, under Wine";
  const std::vector<AudioDeviceRecord> records = list_on_new_thread();
  // The null sink's description, as the server publishes it.
  EXPECT_TRUE(std::any_of(records.begin(), records.end(), [](const AudioDeviceRecord& r) {
    return r.name.find("Null Output") != std::string::npos;
  }));
}

// Windows mixes in 32-bit floats (WAVE_FORMAT_EXTENSIBLE) at the endpoint's
// own rate and channel count; the test server's sink is 48 kHz stereo.
TEST(WinAudioFormat, DefaultEndpointMixesFloatsAndBuffersTheSecondAskedFor) {
  REQUIRE_SOUND_SERVER();
  auto services = vorel::platform::open_audio_services();
  auto enumerator = services->create_device_enumerator();
  ASSERT_TRUE(enumerator.ok());
  auto endpoint = (*enumerator)->default_render_endpoint();
  ASSERT_TRUE(endpoint.ok());
  auto client = (*endpoint)->activate_audio_client();
  ASSERT_TRUE(client.ok());
  auto format = (*client)->get_mix_format();
  ASSERT_TRUE(format.ok());
  const uint32_t rate = (*format)->samples_per_sec();
  const uint16_t channels = (*format)->channels();
  EXPECT_GT(rate, 0u);
  EXPECT_GT(channels, 0u);
  EXPECT_EQ((*format)->bits_per_sample(), 32u);
  if (under_wine()) {
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(channels, 2u);
  }

  const WAVEFORMATEX* record = vorel::win32::wave_format(**format);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->wFormatTag, WAVE_FORMAT_EXTENSIBLE);
  EXPECT_EQ(record->nBlockAlign, channels * 4u);
  ASSERT_GE(record->cbSize, 22u);
  const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(record);
  EXPECT_EQ(extensible->SubFormat.Data1, static_cast<unsigned long>(WAVE_FORMAT_IEEE_FLOAT));

  ASSERT_TRUE((*client)->initialize_loopback(**format).ok());
  auto buffer = (*client)->get_buffer_size();
  ASSERT_TRUE(buffer.ok());
  // The one second asked for; the system may round it up.
  EXPECT_GE(*buffer, rate);
  EXPECT_LT(*buffer, rate * 2);
  if (under_wine()) {
    EXPECT_EQ(*buffer, 48000u);
  }
}

// --- recordings ------------------------------------------------------------------

TEST(WinLoopbackEngine, WineStopsAtTheCaptureServiceBeforeTheFileIsTouched) {
  REQUIRE_SOUND_SERVER();
  if (!under_wine()) GTEST_SKIP() << "loopback capture works on Windows";
  const std::wstring path = temp_wav_path(L"vorel-loopback-");
  AudioCaptureState state;
  const std::optional<std::string> failure = record<CoreServices>(path, state);

  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->rfind("GetService(IAudioCaptureClient): ", 0), 0u) << *failure;
  ASSERT_GE(failure->size(), 10u);
  EXPECT_EQ(failure->substr(failure->size() - 10), "0x88890003") << *failure;
  EXPECT_TRUE(state.format_ready.reached());
  EXPECT_EQ(state.sample_rate.get(), 48000u);
  EXPECT_FALSE(state.started.reached());
  EXPECT_FALSE(file_exists(path));
}

// The engine on this backend, with the sink's monitor standing in for the
// default endpoint: every packet call on real data.
class MonitorAsDefault final : public AudioServices {
 public:
  class Enumerator final : public vorel::platform::DeviceEnumerator {
    Result<std::unique_ptr<Endpoint>, PlatformError> default_render_endpoint() override {
      auto monitor = sink_monitor_endpoint();
      if (!monitor) return vorel::Err(PlatformError::with_info(E_FAIL, nullptr));
      return monitor;
    }
    Result<std::unique_ptr<vorel::platform::EndpointCollection>, PlatformError>
    active_render_endpoints() override {
      return vorel::Err(PlatformError::with_info(E_NOTIMPL, nullptr));
    }
  };

  Result<std::unique_ptr<vorel::platform::DeviceEnumerator>, PlatformError>
  create_device_enumerator() override {
    return std::unique_ptr<vorel::platform::DeviceEnumerator>(std::make_unique<Enumerator>());
  }
  Result<std::unique_ptr<vorel::platform::AudioClient>, std::string> activate_process_loopback(
      uint32_t) override {
    return vorel::Err(std::string("not used"));
  }
  AudioServices& get() { return *this; }

 private:
  ScopedComApartment apartment_;
};

// Reads `count` packets from a new stream on the sink's monitor through this
// backend's reader; each must hold the frames announced for it.
void read_monitor_packets(int count) {
  ScopedComApartment apartment;
  auto monitor = sink_monitor_endpoint();
  ASSERT_NE(monitor, nullptr) << "no \"Monitor of\" capture endpoint";
  auto client = monitor->activate_audio_client();
  ASSERT_TRUE(client.ok());
  auto format = (*client)->get_mix_format();
  ASSERT_TRUE(format.ok());
  ASSERT_TRUE((*client)->initialize_loopback(**format).ok());
  auto reader = (*client)->get_capture_client();
  ASSERT_TRUE(reader.ok());
  ASSERT_TRUE((*client)->start().ok());
  int packets = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (packets < count && std::chrono::steady_clock::now() < deadline) {
    auto pending = (*reader)->next_packet_size();
    ASSERT_TRUE(pending.ok()) << render(pending.error());
    if (*pending == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    auto packet = (*reader)->get_buffer();
    ASSERT_TRUE(packet.ok()) << render(packet.error());
    EXPECT_EQ(packet->frames, *pending);
    EXPECT_NE(packet->data, nullptr);
    ASSERT_TRUE((*reader)->release_buffer(packet->frames).ok());
    ++packets;
  }
  EXPECT_EQ(packets, count);
  EXPECT_TRUE((*client)->stop().ok());
  EXPECT_TRUE((*client)->reset().ok());
}

TEST(WinSinkMonitor, ReaderAndEngineCarryThePlayedTone) {
  REQUIRE_SOUND_SERVER();
  // Windows has no capture endpoint that records an output; the loopback
  // stream is what records it there.
  if (!under_wine()) GTEST_SKIP() << "the sink's monitor exists only with the test server";
  // Under Wine the first capture stream of a process can deliver nothing for
  // well over a second (up to 1.5 s seen), later ones within milliseconds:
  // this also takes that wait out of the timed recording below.
  read_monitor_packets(20);
  if (HasFatalFailure()) return;

  const std::wstring path = temp_wav_path(L"vorel-monitor-");
  AudioCaptureState state;
  TonePlayer tone;
  ASSERT_TRUE(tone.play());
  const std::optional<std::string> failure =
      record<MonitorAsDefault>(path, state, std::chrono::milliseconds(600));
  ASSERT_TRUE(state.started.reached());
  ASSERT_FALSE(failure.has_value()) << *failure;

  std::vector<uint8_t> bytes;
  {
    std::ifstream in(std::filesystem::path(path), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  (void)DeleteFileW(path.c_str());
  ASSERT_GE(bytes.size(), 44u);
  uint32_t data_bytes = 0;
  std::memcpy(&data_bytes, bytes.data() + 40, 4);
  EXPECT_EQ(data_bytes, bytes.size() - 44);
  EXPECT_EQ(data_bytes % 4, 0u);  // whole 16-bit stereo frames
  // Most of the 600 ms, whatever the server's latency.
  EXPECT_GE(data_bytes, 48000u * 4 * 3 / 10);
  int peak = 0;
  for (size_t i = 44; i + 1 < bytes.size(); i += 2) {
    int16_t sample = 0;
    std::memcpy(&sample, bytes.data() + i, 2);
    peak = std::max(peak, std::abs(static_cast<int>(sample)));
  }
  EXPECT_NEAR(peak, 16383, 1700);  // the tone's half scale, converted
}

// --- the packet reader's contract with the system ---------------------------------

// A scripted IAudioCaptureClient. GetBuffer answers AUDCLNT_S_BUFFER_EMPTY,
// a success, when no packet is pending, as documented. That ReleaseBuffer
// then fails with AUDCLNT_E_OUT_OF_ORDER, as it does whenever no packet is
// held, is an assumption: the capture side's documentation does not say
// what a release after an empty buffer gives, so the reader must not make
// one. A release of 0 frames keeps the packet for the next GetBuffer, as
// documented. `announced` is what GetNextPacketSize says, `packets` what
// GetBuffer finds; with `null_data` GetBuffer hands out a packet's frames
// without an address.
class ScriptedCaptureClient final : public IAudioCaptureClient {
 public:
  std::vector<UINT32> announced;
  std::vector<UINT32> packets;
  std::vector<std::string> calls;
  bool null_data = false;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count_; }
  ULONG STDMETHODCALLTYPE Release() override { return --count_; }

  HRESULT STDMETHODCALLTYPE GetBuffer(BYTE** data, UINT32* frames, DWORD* flags, UINT64*,
                                      UINT64*) override {
    calls.push_back("GetBuffer");
    if (held_ != 0) return AUDCLNT_E_OUT_OF_ORDER;
    if (packets.empty()) {
      *data = nullptr;
      *frames = 0;
      *flags = 0;
      return AUDCLNT_S_BUFFER_EMPTY;
    }
    held_ = packets.front();
    packets.erase(packets.begin());
    samples_.assign(static_cast<size_t>(held_) * 8, 0);
    *data = null_data ? nullptr : samples_.data();
    *frames = held_;
    *flags = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE ReleaseBuffer(UINT32 frames) override {
    calls.push_back("ReleaseBuffer(" + std::to_string(frames) + ")");
    if (held_ == 0) return AUDCLNT_E_OUT_OF_ORDER;
    if (frames != 0 && frames != held_) return AUDCLNT_E_INVALID_SIZE;
    if (frames == 0) packets.insert(packets.begin(), held_);
    held_ = 0;
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE GetNextPacketSize(UINT32* frames) override {
    *frames = 0;
    if (!announced.empty()) {
      *frames = announced.front();
      announced.erase(announced.begin());
    }
    return S_OK;
  }

  ULONG references() const { return count_; }

 private:
  ULONG count_ = 1;  // the test's own, on the stack
  UINT32 held_ = 0;
  std::vector<BYTE> samples_;
};

// One pass of the engine's drain over `reader`: every announced packet is
// taken and handed back, an empty one with 0 frames. Returns the frames read.
Result<uint32_t, PlatformError> drain(vorel::platform::CaptureClient& reader) {
  uint32_t total = 0;
  for (;;) {
    auto pending = reader.next_packet_size();
    if (!pending) return vorel::Err(std::move(pending).error());
    if (*pending == 0) return total;
    auto packet = reader.get_buffer();
    if (!packet) return vorel::Err(std::move(packet).error());
    total += packet->frames;
    auto released = reader.release_buffer(packet->frames);
    if (!released) return vorel::Err(std::move(released).error());
  }
}

// The module's packet reader over `system`, holding a reference of its own.
std::unique_ptr<vorel::platform::CaptureClient> reader_of(ScriptedCaptureClient& system) {
  ComPtr<IAudioCaptureClient> shared;
  system.AddRef();
  shared.attach(&system);
  return vorel::win32::make_capture_client(std::move(shared));
}

TEST(WinCaptureReader, AnEmptyBufferIsASuccessThatHoldsNoPacket) {
  ScriptedCaptureClient system;
  {
    auto reader = reader_of(system);

    // A packet announced and gone by the time it is asked for: the drain
    // ends cleanly, without handing back a packet it never had.
    system.announced = {480, 0};
    auto frames = drain(*reader);
    ASSERT_TRUE(frames.ok()) << render(frames.error());
    EXPECT_EQ(*frames, 0u);

    // The next packet is read and handed back as usual.
    system.announced = {480, 0};
    system.packets = {480};
    frames = drain(*reader);
    ASSERT_TRUE(frames.ok()) << render(frames.error());
    EXPECT_EQ(*frames, 480u);
  }
  EXPECT_EQ(system.calls,
            (std::vector<std::string>{"GetBuffer", "GetBuffer", "ReleaseBuffer(480)"}));
  EXPECT_EQ(system.references(), 1u) << "the reader released its reference";
}

TEST(WinCaptureReader, FailuresOfTheSystemStayFailures) {
  ScriptedCaptureClient system;
  auto reader = reader_of(system);
  system.packets = {96};
  auto packet = reader->get_buffer();
  ASSERT_TRUE(packet.ok());
  EXPECT_EQ(packet->frames, 96u);
  // A second GetBuffer while the packet is held is out of order.
  auto again = reader->get_buffer();
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().code_or_ok(), AUDCLNT_E_OUT_OF_ORDER);
  // Releasing a size the packet does not have is refused by the system.
  auto wrong = reader->release_buffer(95);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().code_or_ok(), AUDCLNT_E_INVALID_SIZE);
  EXPECT_TRUE(reader->release_buffer(96).ok());
  // Handing back a packet twice reaches the system, which refuses it.
  auto twice = reader->release_buffer(96);
  ASSERT_FALSE(twice.ok());
  EXPECT_EQ(twice.error().code_or_ok(), AUDCLNT_E_OUT_OF_ORDER);
}

// The reader knows a packet is held for as long as the system holds it: a
// packet it could not use, and one whose release the system refused, can
// still be handed back, also as 0 frames (the system then hands the same
// packet out again), and reading goes on after that.
TEST(WinCaptureReader, APacketStaysHeldUntilTheSystemTakesItBack) {
  ScriptedCaptureClient system;
  auto reader = reader_of(system);

  system.packets = {64, 16};
  system.null_data = true;
  auto unusable = reader->get_buffer();
  ASSERT_FALSE(unusable.ok());
  EXPECT_TRUE(reader->release_buffer(0).ok());
  system.null_data = false;

  auto packet = reader->get_buffer();
  ASSERT_TRUE(packet.ok()) << render(packet.error());
  EXPECT_EQ(packet->frames, 64u);
  auto refused = reader->release_buffer(63);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().code_or_ok(), AUDCLNT_E_INVALID_SIZE);
  EXPECT_TRUE(reader->release_buffer(0).ok());

  packet = reader->get_buffer();
  ASSERT_TRUE(packet.ok()) << render(packet.error());
  EXPECT_EQ(packet->frames, 64u);
  EXPECT_TRUE(reader->release_buffer(64).ok());
  packet = reader->get_buffer();
  ASSERT_TRUE(packet.ok()) << render(packet.error());
  EXPECT_EQ(packet->frames, 16u);
  EXPECT_TRUE(reader->release_buffer(16).ok());
  EXPECT_EQ(system.calls,
            (std::vector<std::string>{"GetBuffer", "ReleaseBuffer(0)", "GetBuffer",
                                      "ReleaseBuffer(63)", "ReleaseBuffer(0)", "GetBuffer",
                                      "ReleaseBuffer(64)", "GetBuffer", "ReleaseBuffer(16)"}));
}

// --- the silence that keeps loopback running ------------------------------------

UINT32 padding(IAudioClient& client) {
  UINT32 frames = 0;
  EXPECT_TRUE(SUCCEEDED(client.GetCurrentPadding(&frames)));
  return frames;
}

TEST(WinSilenceRenderer, QueuesABufferOfSilenceThatPlaysUntilStopped) {
  REQUIRE_SOUND_SERVER();
  ScopedComApartment apartment;
  ComPtr<IMMDevice> device = default_render_device();
  ComPtr<IAudioClient> client;
  ASSERT_TRUE(SUCCEEDED(device->Activate(vorel::win32::kIidAudioClient, CLSCTX_ALL, nullptr,
                                         client.put_void())));
  CoTaskMemPtr<WAVEFORMATEX> format;
  ASSERT_TRUE(SUCCEEDED(client->GetMixFormat(format.put())));

  auto renderer = vorel::win32::SilenceRenderer::open(client.share(), *format.get());
  ASSERT_TRUE(renderer.has_value());
  UINT32 buffer = 0;
  ASSERT_TRUE(SUCCEEDED(client->GetBufferSize(&buffer)));
  EXPECT_EQ(padding(*client.get()), buffer);  // all of it queued

  renderer->start();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(padding(*client.get()), buffer);

  renderer->stop();
  const UINT32 stopped = padding(*client.get());
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(padding(*client.get()), stopped);

  // A client that already streams cannot take it.
  EXPECT_FALSE(vorel::win32::SilenceRenderer::open(client.share(), *format.get()).has_value());
}

// --- without a sound server -------------------------------------------------------

TEST(WinAudioNoServer, ListingGivesOnlyThePlaceholder) {
  if (!expect_no_sound_server()) GTEST_SKIP() << "a sound server may be running";
  const std::vector<AudioDeviceRecord> records = list_on_new_thread();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, "default");
  EXPECT_EQ(records[0].name, "Default Audio Device");
  EXPECT_TRUE(records[0].is_default);
}

TEST(WinAudioNoServer, EngineFailsAtTheDefaultEndpoint) {
  if (!expect_no_sound_server()) GTEST_SKIP() << "a sound server may be running";
  const std::wstring path = temp_wav_path(L"vorel-no-server-");
  AudioCaptureState state;
  const std::optional<std::string> failure = record<CoreServices>(path, state);

  ASSERT_TRUE(failure.has_value());
  // Element not found: no output endpoint at all.
  EXPECT_EQ(failure->rfind("GetDefaultAudioEndpoint: ", 0), 0u) << *failure;
  EXPECT_NE(failure->find("(0x80070490)"), std::string::npos) << *failure;
  EXPECT_FALSE(state.format_ready.reached());
  EXPECT_FALSE(file_exists(path));
}

}  // namespace
