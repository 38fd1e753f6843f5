#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <limits>

#include "audio/loopback_engine.h"
#include "audio/sample_convert.h"
#include "discovery/audio_devices.h"
#include "fakes/fake_audio_services.h"
#include "fakes/fake_frame_sink.h"
#include "platform/errors.h"

namespace vorel {
namespace {

using testing::AudioScript;
using testing::FakePacket;
using testing::MemoryFileState;

std::vector<uint8_t> floats(std::initializer_list<float> values) {
  std::vector<uint8_t> out(values.size() * 4);
  size_t i = 0;
  for (float v : values) std::memcpy(out.data() + 4 * i++, &v, 4);
  return out;
}

std::vector<int16_t> converted(std::initializer_list<float> values) {
  const std::vector<uint8_t> in = floats(values);
  std::vector<uint8_t> out(values.size() * 2);
  convert_f32_to_s16(in.data(), values.size(), out.data());
  std::vector<int16_t> samples(values.size());
  std::memcpy(samples.data(), out.data(), out.size());
  return samples;
}

TEST(SampleConversion, EdgeValues) {
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(converted({1.0f, -1.0f, 0.5f, -0.5f, 2.0f, -2.0f, inf, -inf, std::nanf(""), -0.0f}),
            (std::vector<int16_t>{32767, -32767, 16383, -16383, 32767, -32768, 32767, -32768, 0, 0}));
  // Just inside and outside the clamp, and truncation toward zero.
  EXPECT_EQ(converted({1.0f / 32767.0f, -1.5f / 32767.0f, 0.99999f, 1e-30f}),
            (std::vector<int16_t>{1, -1, 32766, 0}));
}

TEST(SampleConversion, UnalignedInputOfManySamples) {
  std::vector<uint8_t> in(1 + 4 * 1001);
  std::vector<float> values(1001);
  for (size_t i = 0; i < values.size(); ++i) {
    values[i] = static_cast<float>(i) / 500.0f - 1.0f;
    std::memcpy(in.data() + 1 + 4 * i, &values[i], 4);
  }
  std::vector<uint8_t> out(2 * values.size());
  convert_f32_to_s16(in.data() + 1, values.size(), out.data());
  for (size_t i = 0; i < values.size(); ++i) {
    int16_t s;
    std::memcpy(&s, out.data() + 2 * i, 2);
    ASSERT_EQ(s, static_cast<int16_t>(std::trunc(values[i] * 32767.0f))) << i;
  }
}

uint32_t u32_at(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}
uint16_t u16_at(const std::vector<uint8_t>& b, size_t at) {
  return static_cast<uint16_t>(b[at] | b[at + 1] << 8);
}

// One run of the engine against the fakes. `polls[i]` arrives before poll i;
// the stop is requested during the sleep before poll `stop_at`.
struct EngineRun {
  AudioScript script;
  testing::FakeAudioServices services{script};
  testing::FakeClock clock;
  AudioCaptureState state;
  MemoryFileState file;
  bool opened = false;
  std::optional<IoError> open_error;
  AudioWorkerInputs inputs{"out.wav", std::nullopt};
  std::vector<std::vector<FakePacket>> polls;
  size_t stop_at = 1;
  uint64_t max_data_bytes = kWavMaxDataBytes;
  std::function<void(size_t sleeps)> on_turn;

  std::optional<std::string> run() {
    clock.on_sleep = [this] {
      if (on_turn) on_turn(clock.sleeps.size());
      const size_t turn = clock.sleeps.size() - 1;
      if (turn < polls.size()) {
        script.pending.insert(script.pending.end(), polls[turn].begin(), polls[turn].end());
      }
      if (clock.sleeps.size() >= stop_at) state.stop_requested.store(true);
    };
    AudioWorkerEnvironment env{services, clock};
    env.max_data_bytes = max_data_bytes;
    env.open_file = [this](const std::string& path)
        -> Result<std::unique_ptr<platform::File>, IoError> {
      EXPECT_EQ(path, inputs.wav_path);
      if (open_error) return Err(*open_error);
      opened = true;
      return std::unique_ptr<platform::File>(std::make_unique<testing::MemoryFile>(file));
    };
    auto failure = run_loopback_capture(state, inputs, env);
    EXPECT_EQ(script.objects_alive, 0) << "every platform object is released";
    return failure;
  }

  std::vector<uint8_t> data() const {
    return std::vector<uint8_t>(file.bytes.begin() + std::min<size_t>(44, file.bytes.size()),
                                file.bytes.end());
  }
};

FakePacket float_packet(std::initializer_list<float> samples, uint32_t flags = 0) {
  FakePacket p;
  p.bytes = floats(samples);
  p.frames = static_cast<uint32_t>(samples.size() / 2);
  p.flags = flags;
  return p;
}

TEST(LoopbackEngine, RecordsConvertedSilentAndDiscontinuousPackets) {
  EngineRun r;
  FakePacket silent;
  silent.frames = 3;
  silent.flags = platform::kBufferFlagSilent;
  silent.bytes.assign(24, 0x7F);  // never read
  FakePacket empty;  // announced, then handed out with no frames
  empty.announced = 1;
  r.polls = {{float_packet({1.0f, -1.0f, 0.5f, std::nanf("")})},
             {silent, empty, float_packet({-2.0f, 2.0f}, platform::kBufferFlagDataDiscontinuity)}};
  r.stop_at = 2;
  EXPECT_EQ(r.run(), std::nullopt);

  EXPECT_TRUE(r.state.format_ready.reached());
  EXPECT_TRUE(r.state.started.reached());
  EXPECT_EQ(r.state.started_at.get(), std::optional<double>(0.0));
  EXPECT_EQ(r.state.sample_rate.get(), 48000u);
  EXPECT_EQ(r.state.channels.get(), 2);
  EXPECT_EQ(r.state.bits_per_sample.get(), 32) << "the mix format's width is published";

  const std::vector<uint8_t> expected = {
      0xFF, 0x7F, 0x01, 0x80, 0xFF, 0x3F, 0x00, 0x00,  // 32767, -32767, 16383, 0
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,              // 3 silent frames
      0x00, 0x80, 0xFF, 0x7F,                          // -32768, 32767
  };
  EXPECT_EQ(r.data(), expected);
  EXPECT_EQ(u32_at(r.file.bytes, 4), expected.size() + 36);
  EXPECT_EQ(u32_at(r.file.bytes, 40), expected.size());
  EXPECT_TRUE(r.file.closed);

  const std::vector<std::string> startup = {"CoCreateInstance", "GetDefaultAudioEndpoint",
                                            "Activate", "GetMixFormat", "endpoint.Initialize",
                                            "GetBufferSize", "GetService", "Start"};
  ASSERT_GE(r.script.calls.size(), startup.size());
  EXPECT_EQ(std::vector<std::string>(r.script.calls.begin(), r.script.calls.begin() + 8), startup);
  EXPECT_EQ(std::vector<std::string>(r.script.calls.end() - 2, r.script.calls.end()),
            (std::vector<std::string>{"Stop", "Reset"}));
  EXPECT_NE(std::find(r.script.calls.begin(), r.script.calls.end(), "ReleaseBuffer(0)"),
            r.script.calls.end())
      << "a packet of no frames is released too";
  EXPECT_EQ(r.clock.sleeps.front(), std::chrono::milliseconds(2));
}

TEST(LoopbackEngine, StopBeforeTheFirstPollStillFinishesTheFile) {
  EngineRun r;
  r.state.stop_requested.store(true);  // asked while the worker was starting
  r.script.pending = {float_packet({0.0f, 0.0f})};
  EXPECT_EQ(r.run(), std::nullopt);
  EXPECT_TRUE(r.clock.sleeps.empty()) << "one drain, without a sleep";
  ASSERT_EQ(r.file.bytes.size(), 48u);
  EXPECT_EQ(u32_at(r.file.bytes, 4), 40u);
  EXPECT_EQ(u32_at(r.file.bytes, 40), 4u);

  EngineRun nothing;
  nothing.state.stop_requested.store(true);
  EXPECT_EQ(nothing.run(), std::nullopt);
  ASSERT_EQ(nothing.file.bytes.size(), 44u);
  EXPECT_EQ(u32_at(nothing.file.bytes, 4), 36u);
  EXPECT_EQ(u32_at(nothing.file.bytes, 40), 0u);
}

TEST(LoopbackEngine, SixteenBitFormatsAreCopiedUnchanged) {
  EngineRun r;
  r.script.bits = 16;
  r.script.channels = 1;
  r.script.rate = 44100;
  FakePacket p;
  p.bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
  p.frames = 3;
  r.polls = {{p}};
  EXPECT_EQ(r.run(), std::nullopt);
  EXPECT_EQ(r.state.bits_per_sample.get(), 16);
  EXPECT_EQ(r.data(), p.bytes);
  EXPECT_EQ(u16_at(r.file.bytes, 22), 1);
  EXPECT_EQ(u32_at(r.file.bytes, 24), 44100u);
  EXPECT_EQ(u32_at(r.file.bytes, 28), 88200u);
  EXPECT_EQ(u16_at(r.file.bytes, 32), 2);
}

TEST(LoopbackEngine, ProcessClientIsTheStreamButTheEndpointGivesTheFormat) {
  EngineRun r;
  r.inputs.process_id = 1234;
  EXPECT_EQ(r.run(), std::nullopt);
  EXPECT_NE(std::find(r.script.calls.begin(), r.script.calls.end(), "process.Initialize"),
            r.script.calls.end());
  EXPECT_EQ(std::find(r.script.calls.begin(), r.script.calls.end(), "endpoint.Initialize"),
            r.script.calls.end());
  EXPECT_EQ(r.state.sample_rate.get(), 48000u);

  EngineRun refused;
  refused.inputs.process_id = 0;
  refused.script.process_failure = "Process audio loopback activation timed out.";
  EXPECT_EQ(refused.run(), std::optional<std::string>("Process audio loopback activation timed out."));
  EXPECT_FALSE(refused.state.format_ready.reached());
  EXPECT_FALSE(refused.opened);
}

struct FailureRow {
  const char* step;
  const char* prefix;
  bool format_ready;
  bool started;
  bool file_opened;
};

// Rows of the engine's failure table that a failing platform call gives.
const FailureRow kCallFailures[] = {
    {"CoCreateInstance", "CoCreateInstance(MMDeviceEnumerator): ", false, false, false},
    {"GetDefaultAudioEndpoint", "GetDefaultAudioEndpoint: ", false, false, false},
    {"Activate", "Activate(IAudioClient): ", false, false, false},
    {"GetMixFormat", "GetMixFormat: ", false, false, false},
    {"endpoint.Initialize", "IAudioClient::Initialize: ", true, false, false},
    {"GetBufferSize", "GetBufferSize: ", true, false, false},
    {"GetService", "GetService(IAudioCaptureClient): ", true, false, false},
    {"Start", "IAudioClient::Start: ", true, false, false},
    {"GetNextPacketSize", "GetNextPacketSize: ", true, true, true},
    {"GetBuffer", "GetBuffer: ", true, true, true},
    {"ReleaseBuffer", "ReleaseBuffer: ", true, true, true},
    {"Stop", "IAudioClient::Stop: ", true, true, true},
    {"Reset", "IAudioClient::Reset: ", true, true, true},
};

TEST(LoopbackEngine, EachFailingCallEndsWithItsPrefix) {
  for (const FailureRow& row : kCallFailures) {
    SCOPED_TRACE(row.step);
    EngineRun r;
    r.script.failures[row.step] = int32_t(0x88890004);
    r.polls = {{float_packet({0.25f, 0.25f})}};
    r.stop_at = 2;
    auto failure = r.run();
    ASSERT_TRUE(failure.has_value());
    EXPECT_EQ(*failure, std::string(row.prefix) + "0x88890004");
    EXPECT_EQ(r.state.format_ready.reached(), row.format_ready);
    EXPECT_EQ(r.state.started.reached(), row.started);
    EXPECT_EQ(r.state.started_at.get().has_value(), row.started);
    EXPECT_EQ(r.opened, row.file_opened);
    if (row.file_opened) {
      EXPECT_TRUE(r.file.closed);
    }
    const std::string step = row.step;
    if (step != "Stop" && step != "Reset") {
      EXPECT_EQ(std::find(r.script.calls.begin(), r.script.calls.end(), "Stop"),
                r.script.calls.end())
          << "no Stop on a failure path";
    }
  }
}

TEST(LoopbackEngine, ObjectsHandedBackEmptyAreFailuresWithTheSuccessCode) {
  EngineRun r;
  r.script.null_results = {"Activate"};
  EXPECT_EQ(r.run(), std::optional<std::string>("Activate(IAudioClient): " +
                                                platform::render(PlatformError::null_result())));
}

TEST(LoopbackEngine, FileFailures) {
  EngineRun create;
  create.open_error = IoError::os(13);
  EXPECT_EQ(create.run(),
            std::optional<std::string>("Failed to create WAV file: " +
                                       platform::render(IoError::os(13))));
  EXPECT_TRUE(create.state.started.reached());

  EngineRun header;
  header.file.fail_write_at = 3;  // the fourth of the thirteen fields
  EXPECT_EQ(header.run(),
            std::optional<std::string>("WAV header: " + platform::render(IoError::os(28))));
  EXPECT_EQ(header.file.bytes.size(), 12u);
  EXPECT_TRUE(header.file.closed);

  EngineRun zero;
  zero.file.zero_write_at = 13;  // the first block of samples
  zero.polls = {{float_packet({0.5f, 0.5f})}};
  EXPECT_EQ(zero.run(), std::optional<std::string>("WAV write: failed to write whole buffer"));
  EXPECT_EQ(std::find(zero.script.calls.begin(), zero.script.calls.end(), "ReleaseBuffer(1)"),
            zero.script.calls.end())
      << "the packet that could not be written is not released";

  EngineRun finalize;
  finalize.file.fail_seek = true;
  EXPECT_EQ(finalize.run(),
            std::optional<std::string>("WAV finalize: " + platform::render(IoError::os(29))));
  EXPECT_EQ(u32_at(finalize.file.bytes, 4), 0u);
}

TEST(LoopbackEngine, ShortWritesAreCompleted) {
  EngineRun r;
  r.file.max_chunk = 3;
  r.polls = {{float_packet({0.5f, -0.5f, 0.25f, -0.25f})}};
  EXPECT_EQ(r.run(), std::nullopt);
  EXPECT_EQ(r.file.bytes.size(), 52u);
  EXPECT_EQ(r.data(), (std::vector<uint8_t>{0xFF, 0x3F, 0x01, 0xC0, 0xFF, 0x1F, 0x01, 0xE0}));
}

TEST(LoopbackEngine, AFailureAfterTheHeaderKeepsWhatWasCaptured) {
  EngineRun r;
  r.polls = {{float_packet({0.5f, 0.5f, 0.5f, 0.5f})}};
  r.stop_at = 5;
  // The device goes away before the second poll.
  r.on_turn = [&r](size_t sleeps) {
    if (sleeps == 2) r.script.failures["GetNextPacketSize"] = int32_t(0x88890004);
  };
  EXPECT_EQ(r.run(), std::optional<std::string>("GetNextPacketSize: 0x88890004"));
  ASSERT_EQ(r.file.bytes.size(), 52u);
  EXPECT_EQ(u32_at(r.file.bytes, 4), 44u) << "sizes patched to what was written";
  EXPECT_EQ(u32_at(r.file.bytes, 40), 8u);
  EXPECT_TRUE(r.file.closed);
}

TEST(LoopbackEngine, StopsAtTheWavSizeLimitWithAFinishedFile) {
  EngineRun r;
  r.max_data_bytes = 10;  // 8 in whole stereo frames
  r.polls = {{float_packet({0.5f, 0.5f, 0.5f, 0.5f}), float_packet({0.5f, 0.5f, 0.5f, 0.5f})}};
  r.stop_at = 3;
  auto failure = r.run();
  EXPECT_EQ(failure, std::optional<std::string>(
                         "WAV write: the size limit of a WAV file was reached (8 bytes of sample "
                         "data); recording stopped"));
  EXPECT_EQ(r.file.bytes.size(), 52u);
  EXPECT_EQ(u32_at(r.file.bytes, 4), 44u);
  EXPECT_EQ(u32_at(r.file.bytes, 40), 8u);
}

TEST(LoopbackEngine, PollInterval) {
  EXPECT_EQ(poll_interval(48000, 48000), std::chrono::milliseconds(2));
  EXPECT_EQ(poll_interval(480, 48000), std::chrono::milliseconds(1));
  EXPECT_EQ(poll_interval(441, 44100), std::chrono::microseconds(1000));
  EXPECT_EQ(poll_interval(100, 0), std::chrono::milliseconds(2));
  EXPECT_EQ(poll_interval(0, 0), std::chrono::milliseconds(2));
  EXPECT_EQ(poll_interval(1, 3), std::chrono::nanoseconds(2000000));
  EXPECT_EQ(poll_interval(0, 48000), std::chrono::milliseconds(2)) << "no busy loop";
  EXPECT_EQ(poll_interval(1, 48000), std::chrono::nanoseconds(2083));
}

TEST(LoopbackEngine, AClientReportingAnEmptyBufferIsPolledEveryTwoMilliseconds) {
  for (const bool per_process : {false, true}) {
    EngineRun r;
    r.script.buffer_frames = 0;
    if (per_process) r.inputs.process_id = 4321;
    r.polls = {{float_packet({0.25f, 0.25f})}, {float_packet({0.5f, 0.5f})}};
    r.stop_at = 3;
    EXPECT_EQ(r.run(), std::nullopt) << per_process;
    ASSERT_EQ(r.clock.sleeps.size(), 3u) << per_process;
    for (auto slept : r.clock.sleeps) {
      EXPECT_EQ(slept, std::chrono::milliseconds(2)) << per_process;
    }
    EXPECT_EQ(r.data().size(), 8u) << "both packets recorded";
  }
}

std::vector<uint8_t> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

TEST(WavWriter, HeaderOnARealFile) {
  const std::string path = ::testing::TempDir() + "vorel_wav_writer_test.wav";
  {
    std::ofstream(path, std::ios::binary) << std::string(1000, 'x');  // longer, to be truncated
  }
  struct Case {
    uint32_t rate;
    uint16_t channels;
    uint32_t byte_rate;
    uint16_t align;
  };
  for (const Case& c : {Case{48000, 2, 192000, 4}, Case{44100, 1, 88200, 2},
                        Case{192000, 8, 3072000, 16}}) {
    auto file = platform::create_file(path);
    ASSERT_TRUE(file.ok());
    WavWriter wav(std::move(file).value(), c.rate, c.channels);
    ASSERT_TRUE(wav.write_header().ok());
    const uint8_t block[6] = {1, 2, 3, 4, 5, 6};
    ASSERT_TRUE(wav.append(block, sizeof block).ok());
    wav.data_bytes += 6;
    ASSERT_TRUE(wav.finalize().ok());
    wav.close();
    const std::vector<uint8_t> b = read_all(path);
    ASSERT_EQ(b.size(), 50u);
    EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
    EXPECT_EQ(u32_at(b, 4), 42u);
    EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(u32_at(b, 16), 16u);
    EXPECT_EQ(u16_at(b, 20), 1);
    EXPECT_EQ(u16_at(b, 22), c.channels);
    EXPECT_EQ(u32_at(b, 24), c.rate);
    EXPECT_EQ(u32_at(b, 28), c.byte_rate);
    EXPECT_EQ(u16_at(b, 32), c.align);
    EXPECT_EQ(u16_at(b, 34), 16);
    EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
    EXPECT_EQ(u32_at(b, 40), 6u);
    EXPECT_EQ(b[44], 1);
  }
  std::remove(path.c_str());
}

TEST(WavWriter, HeaderIsThirteenWrites) {
  MemoryFileState state;
  WavWriter wav(std::make_unique<testing::MemoryFile>(state), 48000, 2);
  ASSERT_TRUE(wav.write_header().ok());
  EXPECT_EQ(state.writes, 13);
  EXPECT_EQ(state.bytes.size(), 44u);
}

TEST(WavWriter, CreateFailures) {
  auto missing = platform::create_file("/nonexistent-dir-vorel/x.wav");
  ASSERT_FALSE(missing.ok());
#ifdef _WIN32
  EXPECT_EQ(missing.error().os_code(), 3);  // ERROR_PATH_NOT_FOUND
#else
  EXPECT_EQ(platform::render(missing.error()), "No such file or directory (os error 2)");
#endif
  auto nul = platform::create_file(std::string("a\0b.wav", 7));
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(platform::render(nul.error()), "strings passed to WinAPI cannot contain NULs");
}

TEST(AudioDeviceListing, RecordsNamesAndTheDefault) {
  AudioScript s;
  s.default_id = u"{b}";
  s.endpoints = {{u"{a}", u"Speakers"}, {u"{b}", u"Headphones"}, {u"{c}", std::nullopt}};
  testing::FakeAudioServices services(s);
  auto records = list_audio_devices(services);
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[0].id, "{a}");
  EXPECT_EQ(records[0].name, "Speakers");
  EXPECT_FALSE(records[0].is_default);
  EXPECT_TRUE(records[1].is_default);
  EXPECT_EQ(records[2].name, "Audio Device 2");
  EXPECT_EQ(s.objects_alive, 0);
  EXPECT_EQ(audio_device_repr(records[1]), "AudioDeviceInfo(name='Headphones', is_default=true)");
  EXPECT_EQ(audio_device_repr(records[0]), "AudioDeviceInfo(name='Speakers', is_default=false)");
}

TEST(AudioDeviceListing, InvalidTextAndFailures) {
  AudioScript s;
  std::u16string bad = u"x";
  bad.push_back(static_cast<char16_t>(0xD800));
  s.default_id = bad;
  s.endpoints = {{bad, bad}};
  testing::FakeAudioServices services(s);
  auto records = list_audio_devices(services);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].id, "");
  EXPECT_TRUE(records[0].is_default) << "both identifiers became empty";
  EXPECT_EQ(records[0].name, "Audio Device 0") << "a name that is not valid text is not used";

  for (const char* step : {"CoCreateInstance", "GetDefaultAudioEndpoint", "GetId",
                           "EnumAudioEndpoints", "GetCount", "Item"}) {
    AudioScript f;
    f.endpoints = {{u"{a}", u"A"}};
    f.failures[step] = int32_t(0x80004005);
    testing::FakeAudioServices failing(f);
    auto placeholder = list_audio_devices(failing);
    ASSERT_EQ(placeholder.size(), 1u) << step;
    EXPECT_EQ(placeholder[0].id, "default");
    EXPECT_EQ(placeholder[0].name, "Default Audio Device");
    EXPECT_TRUE(placeholder[0].is_default);
    EXPECT_EQ(f.objects_alive, 0);
  }
  AudioScript none;
  testing::FakeAudioServices empty(none);
  EXPECT_TRUE(list_audio_devices(empty).empty()) << "an empty collection is not a failure";
}

}  // namespace
}  // namespace vorel
