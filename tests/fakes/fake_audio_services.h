// Scriptable Core Audio stand-ins: every call can be made to fail, packets
// are queued by the test, and the order of calls is recorded.
#pragma once

#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/audio_services.h"
#include "platform/file.h"

namespace vorel::testing {

struct FakePacket {
  std::vector<uint8_t> bytes;
  uint32_t frames = 0;
  uint32_t flags = 0;
  // What GetNextPacketSize says of it, when not its frame count.
  std::optional<uint32_t> announced;
};

// What the fake audio stack does; shared by all its objects.
struct AudioScript {
  // Steps that fail, by name (see the calls below), with their HRESULT.
  std::map<std::string, int32_t> failures;
  // Steps that succeed but hand back no object.
  std::vector<std::string> null_results;
  uint32_t rate = 48000;
  uint16_t channels = 2;
  uint16_t bits = 32;
  uint32_t buffer_frames = 48000;
  // Packets waiting to be read; tests add them between polls.
  std::vector<FakePacket> pending;
  std::vector<std::string> calls;
  int objects_alive = 0;
  // For the listing.
  std::vector<std::pair<std::u16string, std::optional<std::u16string>>> endpoints;
  std::u16string default_id = u"{default}";
  std::optional<std::string> process_failure;
};

class ScriptedObject {
 protected:
  explicit ScriptedObject(AudioScript& s) : s_(s) { ++s_.objects_alive; }
  ~ScriptedObject() { --s_.objects_alive; }
  ScriptedObject(const ScriptedObject&) = delete;
  ScriptedObject& operator=(const ScriptedObject&) = delete;

  // Records the call; the error it is scripted to fail with, if any.
  std::optional<PlatformError> step(const std::string& name) {
    s_.calls.push_back(name);
    auto it = s_.failures.find(name);
    if (it != s_.failures.end()) return PlatformError::with_info(it->second, nullptr);
    for (const std::string& n : s_.null_results) {
      if (n == name) return PlatformError::null_result();
    }
    return std::nullopt;
  }
  AudioScript& s_;
};

class FakeFormat final : public platform::MixFormat, ScriptedObject {
 public:
  explicit FakeFormat(AudioScript& s) : ScriptedObject(s) {}
  uint32_t samples_per_sec() const override { return s_.rate; }
  uint16_t channels() const override { return s_.channels; }
  uint16_t bits_per_sample() const override { return s_.bits; }
};

class FakeCaptureClient final : public platform::CaptureClient, ScriptedObject {
 public:
  explicit FakeCaptureClient(AudioScript& s) : ScriptedObject(s) {}

  Result<uint32_t, PlatformError> next_packet_size() override {
    if (auto e = step("GetNextPacketSize")) return Err(std::move(*e));
    if (s_.pending.empty()) return 0u;
    return s_.pending.front().announced.value_or(s_.pending.front().frames);
  }
  Result<platform::Packet, PlatformError> get_buffer() override {
    if (auto e = step("GetBuffer")) return Err(std::move(*e));
    const FakePacket& p = s_.pending.front();
    return platform::Packet{p.bytes.data(), p.frames, p.flags};
  }
  Status<PlatformError> release_buffer(uint32_t frames) override {
    s_.calls.push_back("ReleaseBuffer(" + std::to_string(frames) + ")");
    auto it = s_.failures.find("ReleaseBuffer");
    if (it != s_.failures.end()) return Err(PlatformError::with_info(it->second, nullptr));
    s_.pending.erase(s_.pending.begin());
    return Unit{};
  }
};

class FakeAudioClient final : public platform::AudioClient, ScriptedObject {
 public:
  FakeAudioClient(AudioScript& s, std::string name) : ScriptedObject(s), name_(std::move(name)) {}
  Result<std::unique_ptr<platform::MixFormat>, PlatformError> get_mix_format() override {
    if (auto e = step("GetMixFormat")) return Err(std::move(*e));
    return std::unique_ptr<platform::MixFormat>(std::make_unique<FakeFormat>(s_));
  }
  Status<PlatformError> initialize_loopback(const platform::MixFormat&) override {
    return simple(name_ + ".Initialize");
  }
  Result<uint32_t, PlatformError> get_buffer_size() override {
    if (auto e = step("GetBufferSize")) return Err(std::move(*e));
    return s_.buffer_frames;
  }
  Result<std::unique_ptr<platform::CaptureClient>, PlatformError> get_capture_client() override {
    if (auto e = step("GetService")) return Err(std::move(*e));
    return std::unique_ptr<platform::CaptureClient>(std::make_unique<FakeCaptureClient>(s_));
  }
  Status<PlatformError> start() override { return simple("Start"); }
  Status<PlatformError> stop() override { return simple("Stop"); }
  Status<PlatformError> reset() override { return simple("Reset"); }

 private:
  Status<PlatformError> simple(const std::string& name) {
    if (auto e = step(name)) return Err(std::move(*e));
    return Unit{};
  }
  std::string name_;
};

class FakeEndpoint final : public platform::Endpoint, ScriptedObject {
 public:
  FakeEndpoint(AudioScript& s, std::u16string id, std::optional<std::u16string> name)
      : ScriptedObject(s), id_(std::move(id)), name_(std::move(name)) {}
  Result<std::unique_ptr<platform::AudioClient>, PlatformError> activate_audio_client() override {
    if (auto e = step("Activate")) return Err(std::move(*e));
    return std::unique_ptr<platform::AudioClient>(std::make_unique<FakeAudioClient>(s_, "endpoint"));
  }
  Result<std::u16string, PlatformError> get_id() override {
    if (auto e = step("GetId")) return Err(std::move(*e));
    return id_;
  }
  std::optional<std::u16string> friendly_name() override { return name_; }

 private:
  std::u16string id_;
  std::optional<std::u16string> name_;
};

class FakeCollection final : public platform::EndpointCollection, ScriptedObject {
 public:
  explicit FakeCollection(AudioScript& s) : ScriptedObject(s) {}
  Result<uint32_t, PlatformError> count() override {
    if (auto e = step("GetCount")) return Err(std::move(*e));
    return static_cast<uint32_t>(s_.endpoints.size());
  }
  Result<std::unique_ptr<platform::Endpoint>, PlatformError> item(uint32_t i) override {
    if (auto e = step("Item")) return Err(std::move(*e));
    return std::unique_ptr<platform::Endpoint>(
        std::make_unique<FakeEndpoint>(s_, s_.endpoints[i].first, s_.endpoints[i].second));
  }
};

class FakeEnumerator final : public platform::DeviceEnumerator, ScriptedObject {
 public:
  explicit FakeEnumerator(AudioScript& s) : ScriptedObject(s) {}
  Result<std::unique_ptr<platform::Endpoint>, PlatformError> default_render_endpoint() override {
    if (auto e = step("GetDefaultAudioEndpoint")) return Err(std::move(*e));
    return std::unique_ptr<platform::Endpoint>(
        std::make_unique<FakeEndpoint>(s_, s_.default_id, u"Speakers"));
  }
  Result<std::unique_ptr<platform::EndpointCollection>, PlatformError> active_render_endpoints()
      override {
    if (auto e = step("EnumAudioEndpoints")) return Err(std::move(*e));
    return std::unique_ptr<platform::EndpointCollection>(std::make_unique<FakeCollection>(s_));
  }
};

class FakeAudioServices final : public platform::AudioServices {
 public:
  explicit FakeAudioServices(AudioScript& s) : s_(s) {}
  Result<std::unique_ptr<platform::DeviceEnumerator>, PlatformError> create_device_enumerator()
      override {
    s_.calls.push_back("CoCreateInstance");
    auto it = s_.failures.find("CoCreateInstance");
    if (it != s_.failures.end()) return Err(PlatformError::with_info(it->second, nullptr));
    return std::unique_ptr<platform::DeviceEnumerator>(std::make_unique<FakeEnumerator>(s_));
  }
  Result<std::unique_ptr<platform::AudioClient>, std::string> activate_process_loopback(
      uint32_t) override {
    s_.calls.push_back("ActivateProcessLoopback");
    if (s_.process_failure) return Err(*s_.process_failure);
    return std::unique_ptr<platform::AudioClient>(std::make_unique<FakeAudioClient>(s_, "process"));
  }

 private:
  AudioScript& s_;
};

// An in-memory file that can be told to fail at its n-th write or seek.
struct MemoryFileState {
  std::vector<uint8_t> bytes;
  size_t position = 0;
  int writes = 0;
  std::optional<int> fail_write_at;   // 0-based write call that fails
  std::optional<int> zero_write_at;   // ... that accepts no bytes
  size_t max_chunk = SIZE_MAX;        // short writes
  bool fail_seek = false;
  bool closed = false;
};

class MemoryFile final : public platform::File {
 public:
  explicit MemoryFile(MemoryFileState& s) : s_(s) {}
  ~MemoryFile() override { s_.closed = true; }
  Result<size_t, IoError> write(const uint8_t* data, size_t size) override {
    const int n = s_.writes++;
    if (s_.fail_write_at && *s_.fail_write_at == n) return Err(IoError::os(28));
    if (s_.zero_write_at && *s_.zero_write_at == n) return size_t{0};
    const size_t take = std::min(size, s_.max_chunk);
    if (s_.bytes.size() < s_.position + take) s_.bytes.resize(s_.position + take);
    std::memcpy(s_.bytes.data() + s_.position, data, take);
    s_.position += take;
    return take;
  }
  Status<IoError> seek(uint64_t offset) override {
    if (s_.fail_seek) return Err(IoError::os(29));
    s_.position = static_cast<size_t>(offset);
    return Unit{};
  }

 private:
  MemoryFileState& s_;
};

}  // namespace vorel::testing
