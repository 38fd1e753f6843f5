#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "audio/loopback_engine.h"
#include "platform/errors.h"
#include "platform/process_activation.h"
#include "platform/silence_fill.h"
#include "fakes/fake_audio_services.h"
#include "fakes/fake_frame_sink.h"
#include "fakes/quiet_process_services.h"

namespace vorel {
namespace {

using std::chrono::milliseconds;
using testing::AudioScript;
using testing::FakePacket;

constexpr int32_t kFileNotFound = static_cast<int32_t>(0x80070002u);
constexpr int32_t kNoInterface = static_cast<int32_t>(0x80004002u);

// The interface GetActivateResult hands back; its IAudioClient query answers
// as scripted, with clients of the fake stack (which counts them alive).
struct ActivatedScript {
  enum class Answer { client, failure, null } answer = Answer::client;
  AudioScript stack;
  int queries = 0;
  int released = 0;
};

class FakeActivated final : public ActivatedInterface {
 public:
  explicit FakeActivated(ActivatedScript& s) : s_(s) {}
  ~FakeActivated() override { ++s_.released; }
  Result<std::unique_ptr<platform::AudioClient>, PlatformError> query_audio_client() override {
    ++s_.queries;
    if (s_.answer == ActivatedScript::Answer::failure) {
      return Err(PlatformError::with_info(kNoInterface, nullptr));
    }
    if (s_.answer == ActivatedScript::Answer::null) return std::unique_ptr<platform::AudioClient>();
    return std::unique_ptr<platform::AudioClient>(
        std::make_unique<testing::FakeAudioClient>(s_.stack, "process"));
  }

 private:
  ActivatedScript& s_;
};

Result<ActivateResult, PlatformError> reported(int32_t activation_result, ActivatedScript* with) {
  ActivateResult r;
  r.activation_result = activation_result;
  if (with != nullptr) r.activated = std::make_unique<FakeActivated>(*with);
  return r;
}

// The code of an error outcome; nullopt for a client or a failed call.
std::optional<int32_t> error_code(const Result<ActivationOutcome, PlatformError>& outcome) {
  if (!outcome) return std::nullopt;
  const auto* error = std::get_if<PlatformError>(&outcome.value());
  return error ? std::optional<int32_t>(error->code_or_ok()) : std::nullopt;
}

TEST(ProcessActivationOutcome, EveryReportOfThePlatform) {
  {
    SCOPED_TRACE("GetActivateResult itself fails: returned, not stored");
    auto outcome = form_outcome(Err(PlatformError::with_info(kNoInterface, nullptr)));
    ASSERT_FALSE(outcome.ok());
    EXPECT_EQ(outcome.error().code(), std::optional<int32_t>(kNoInterface));
  }
  {
    SCOPED_TRACE("the activation failed: its code, the interface released unasked");
    ActivatedScript s;
    auto outcome = form_outcome(reported(kFileNotFound, &s));
    EXPECT_EQ(error_code(outcome), std::optional<int32_t>(kFileNotFound));
    EXPECT_EQ(std::get<PlatformError>(outcome.value()).info(), nullptr);
    EXPECT_EQ(s.queries, 0);
    EXPECT_EQ(s.released, 1);
  }
  {
    SCOPED_TRACE("success without an interface");
    EXPECT_EQ(error_code(form_outcome(reported(0, nullptr))), std::optional<int32_t>(-1));
  }
  {
    SCOPED_TRACE("the query fails");
    ActivatedScript s;
    s.answer = ActivatedScript::Answer::failure;
    EXPECT_EQ(error_code(form_outcome(reported(0, &s))), std::optional<int32_t>(kNoInterface));
    EXPECT_EQ(s.released, 1);
  }
  {
    SCOPED_TRACE("the query succeeds without a pointer");
    ActivatedScript s;
    s.answer = ActivatedScript::Answer::null;
    EXPECT_EQ(error_code(form_outcome(reported(0, &s))),
              std::optional<int32_t>(static_cast<int32_t>(0x80004003u)));
    EXPECT_EQ(s.released, 1);
  }
  {
    SCOPED_TRACE("a client; S_FALSE counts as success");
    ActivatedScript s;
    auto outcome = form_outcome(reported(1, &s));
    ASSERT_TRUE(outcome.ok());
    EXPECT_NE(std::get<std::unique_ptr<platform::AudioClient>>(outcome.value()), nullptr);
    EXPECT_EQ(s.released, 1) << "the interface goes once the client is out of it";
    EXPECT_EQ(s.stack.objects_alive, 1);
  }
}

// --- the hand-over between handler and worker ------------------------------------

TEST(ProcessActivationWait, DeliversTheClientOnceThenReportsTheSlotEmpty) {
  PendingActivation pending;
  ActivatedScript s;
  EXPECT_FALSE(pending.completion().completed(reported(0, &s)).has_value());
  auto first = pending.wait(milliseconds(0));
  ASSERT_TRUE(first.ok()) << first.error();
  EXPECT_NE(*first, nullptr);

  // `done` stays set; the outcome was taken out.
  auto second = pending.wait(milliseconds(0));
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), "Completion handler did not provide a result.");
}

TEST(ProcessActivationWait, FailureTexts) {
  PendingActivation failed;
  complete(*failed.slot, *failed.signal,
           PlatformError::with_info(kNoInterface, make_text_error_info(u"no client here")));
  auto described = failed.wait(milliseconds(0));
  ASSERT_FALSE(described.ok());
  EXPECT_EQ(described.error(), "Process loopback activation failed: no client here (0x80004002)");

  EXPECT_EQ(activation_request_failed(
                PlatformError::with_info(kFileNotFound, make_text_error_info(u"refused"))),
            "ActivateAudioInterfaceAsync failed: refused (0x80070002). Process-specific audio "
            "capture requires Windows 10 version 2004 (build 19041) or later.");
}

TEST(ProcessActivationWait, ASecondCompletionReplacesAndReleasesTheFirst) {
  PendingActivation pending;
  ActivationCompletion handler = pending.completion();
  ActivatedScript first;
  ActivatedScript second;
  EXPECT_FALSE(handler.completed(reported(0, &first)).has_value());
  EXPECT_FALSE(handler.completed(reported(0, &second)).has_value());
  EXPECT_EQ(first.stack.objects_alive, 0);
  {
    auto result = pending.wait(milliseconds(0));
    ASSERT_TRUE(result.ok());
    EXPECT_EQ(second.stack.objects_alive, 1);
  }
  EXPECT_EQ(second.stack.objects_alive, 0) << "the worker got the second one";
}

TEST(ProcessActivationWait, AnAbandonedActivationFailsAtOnceAndReplacesAnEarlierClient) {
  PendingActivation pending;
  ActivationCompletion handler = pending.completion();
  ActivatedScript earlier;
  EXPECT_FALSE(handler.completed(reported(0, &earlier)).has_value());
  handler.abandon(static_cast<int32_t>(0x8007000Eu));  // E_OUTOFMEMORY
  EXPECT_EQ(earlier.stack.objects_alive, 0) << "released, not handed out";
  auto result = pending.wait(milliseconds(0));
  ASSERT_FALSE(result.ok());
  const auto out_of_memory = PlatformError::with_info(static_cast<int32_t>(0x8007000Eu), nullptr);
  EXPECT_EQ(result.error(), "Process loopback activation failed: " + platform::render(out_of_memory));
}

TEST(ProcessActivationWait, WithoutACompletionItTimesOutAfterTheInjectedTime) {
  PendingActivation pending;
  // A failed GetActivateResult signals nothing.
  EXPECT_TRUE(pending.completion()
                  .completed(Err(PlatformError::with_info(kNoInterface, nullptr)))
                  .has_value());
  const auto began = std::chrono::steady_clock::now();
  auto result = pending.wait(milliseconds(60));
  const auto waited = std::chrono::steady_clock::now() - began;
  ASSERT_FALSE(result.ok());
  EXPECT_EQ(result.error(), "Process audio loopback activation timed out.");
  EXPECT_GE(waited, milliseconds(60));
  EXPECT_LT(waited, std::chrono::seconds(5));
}

TEST(ProcessActivationWait, ACompletionOnAnotherThreadWakesTheWaiter) {
  PendingActivation pending;
  ActivatedScript s;
  std::thread platform([handler = pending.completion(), &s]() mutable {
    std::this_thread::sleep_for(milliseconds(30));
    (void)handler.completed(reported(0, &s));
  });
  const auto began = std::chrono::steady_clock::now();
  auto result = pending.wait(std::chrono::seconds(20));
  const auto waited = std::chrono::steady_clock::now() - began;
  platform.join();
  ASSERT_TRUE(result.ok()) << result.error();
  EXPECT_LT(waited, std::chrono::seconds(10)) << "woken, not timed out";
}

TEST(ProcessActivationWait, ALateCompletionLivesInTheHandlersRecordsUntilItGoes) {
  std::optional<ActivationCompletion> handler;
  {
    PendingActivation pending;
    handler = pending.completion();
    auto result = pending.wait(milliseconds(10));
    ASSERT_FALSE(result.ok());
  }  // the worker's references are gone
  ActivatedScript s;
  EXPECT_FALSE(handler->completed(reported(0, &s)).has_value());
  EXPECT_EQ(s.stack.objects_alive, 1) << "kept by the handler's records";
  handler.reset();
  EXPECT_EQ(s.stack.objects_alive, 0);
}

// --- silence where the process plays nothing ---------------------------------------

// A process client over the fake audio stack, gaps filled on a fake clock;
// 48 kHz stereo float, so 480 frames are 10 ms.
struct FilledStream {
  AudioScript script;
  testing::FakeClock clock;
  std::unique_ptr<platform::AudioClient> client = fill_silence_gaps(
      std::make_unique<testing::FakeAudioClient>(script, "process"), clock);
  std::unique_ptr<platform::MixFormat> format;
  std::unique_ptr<platform::CaptureClient> reader;

  void open(bool start = true) {
    format = std::move(client->get_mix_format()).value();
    ASSERT_TRUE(client->initialize_loopback(*format).ok());
    reader = std::move(client->get_capture_client()).value();
    if (start) {
      ASSERT_TRUE(client->start().ok());
    }
  }

  // Reads every packet pending now, as the engine's drain does; the frames
  // of each, negative for a silent one.
  std::vector<int64_t> drain() {
    std::vector<int64_t> packets;
    for (;;) {
      auto size = reader->next_packet_size();
      EXPECT_TRUE(size.ok());
      if (!size.ok() || *size == 0) return packets;
      auto packet = reader->get_buffer();
      EXPECT_TRUE(packet.ok());
      if (!packet.ok()) return packets;
      EXPECT_EQ(packet->frames, *size);
      if (packet->flags & platform::kBufferFlagSilent) {
        EXPECT_NE(packet->data, nullptr);
        for (size_t i = 0; i < size_t{packet->frames} * 8; ++i) {
          if (packet->data[i] != 0) {
            ADD_FAILURE() << "silent packet data not zero at " << i;
            break;
          }
        }
        packets.push_back(-int64_t{packet->frames});
      } else {
        packets.push_back(int64_t{packet->frames});
      }
      EXPECT_TRUE(reader->release_buffer(packet->frames).ok());
    }
  }

  void advance(milliseconds d) { clock.current += d; }
};

FakePacket real_packet(uint32_t frames) {
  FakePacket p;
  p.frames = frames;
  p.bytes.assign(size_t{frames} * 8, 0x11);
  return p;
}

using Packets = std::vector<int64_t>;

TEST(ProcessSilenceFill, FillsAGapOnceItExceedsAPacketsWorthCountedFromStart) {
  FilledStream s;
  s.open(/*start=*/false);
  s.advance(milliseconds(500));
  EXPECT_EQ(s.drain(), Packets{}) << "not started";
  ASSERT_TRUE(s.client->start().ok());
  s.advance(milliseconds(10));
  EXPECT_EQ(s.drain(), Packets{}) << "10 ms could still be on its way";
  s.advance(milliseconds(15));
  EXPECT_EQ(s.drain(), Packets{-1200}) << "25 ms of silence";
  s.advance(milliseconds(11));
  EXPECT_EQ(s.drain(), Packets{-528});
  ASSERT_TRUE(s.client->stop().ok());
  s.advance(milliseconds(500));
  EXPECT_EQ(s.drain(), Packets{}) << "stopped";
}

TEST(ProcessSilenceFill, PacketsOfTheProcessPassUnchangedAndCount) {
  FilledStream s;
  s.open();
  s.advance(milliseconds(100));
  // The platform has packets: they go first, whatever the clock says.
  s.script.pending = {real_packet(480), real_packet(480)};
  EXPECT_EQ(s.drain(), (Packets{480, 480, -3840}));
  EXPECT_TRUE(s.script.pending.empty());

  // A process playing in step with the clock needs no filling.
  for (int i = 0; i < 20; ++i) {
    s.advance(milliseconds(10));
    s.script.pending = {real_packet(480)};
    ASSERT_EQ(s.drain(), Packets{480}) << i;
  }
}

TEST(ProcessSilenceFill, LargerPacketsWidenTheAllowance) {
  FilledStream s;
  s.open();
  s.script.pending = {real_packet(1440)};  // 30 ms
  EXPECT_EQ(s.drain(), Packets{1440});
  s.advance(milliseconds(55));  // 2640 due, 1200 behind: within one such packet
  EXPECT_EQ(s.drain(), Packets{});
  s.advance(milliseconds(10));  // 1680 behind
  EXPECT_EQ(s.drain(), Packets{-1680});
}

TEST(ProcessSilenceFill, ALongGapComesInPacketsOfASecondAtMost) {
  FilledStream s;
  s.open();
  s.advance(milliseconds(2500));
  EXPECT_EQ(s.drain(), (Packets{-48000, -48000, -24000}));
}

// The engine over a process that stays quiet: the file still covers the
// time recorded, to within a packet.
TEST(ProcessSilenceFill, ARecordingOfAQuietProcessLastsAsLongAsItRan) {
  AudioScript script;
  testing::FakeClock clock;
  testing::QuietProcessServices services(script, clock);
  AudioCaptureState state;
  testing::MemoryFileState file;
  clock.on_sleep = [&] {
    if (clock.sleeps.size() == 500) state.stop_requested.store(true);
  };
  AudioWorkerEnvironment env{services, clock};
  env.open_file = [&](const std::string&) -> Result<std::unique_ptr<platform::File>, IoError> {
    return std::unique_ptr<platform::File>(std::make_unique<testing::MemoryFile>(file));
  };
  ASSERT_EQ(run_loopback_capture(state, {"quiet.wav", 4321}, env), std::nullopt);
  EXPECT_EQ(script.objects_alive, 0);

  ASSERT_GE(file.bytes.size(), 44u);
  const size_t frames = (file.bytes.size() - 44) / 4;  // 16-bit stereo
  EXPECT_LE(frames, 48000u) << "500 polls of 2 ms: one second";
  EXPECT_GE(frames, 48000u - 480u);
}

}  // namespace
}  // namespace vorel
