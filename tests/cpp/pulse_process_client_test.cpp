// The per-process PulseAudio client against a scripted server and a clock
// that moves only when a test moves it.
#include <gtest/gtest.h>

#include <pulse/error.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fakes/fake_pulse_process_server.h"
#include "platform/errors.h"
#include "platform/linux/pulse_process_client.h"

namespace vorel::platform::pulse {
namespace {

using std::chrono::milliseconds;
using testing::FakeProcessServer;
using testing::ManualClock;

// One frame per millisecond, so frame numbers read as milliseconds; packets
// of 10 frames.
constexpr uint32_t kRate = 1000;
constexpr uint16_t kChannels = 2;
constexpr size_t kPacketFrames = kRate / 100;

constexpr uint32_t kRoot = 100;
constexpr uint32_t kChild = 101;
constexpr uint32_t kGrandchild = 102;
constexpr uint32_t kStranger = 200;

class FloatFormat final : public MixFormat {
 public:
  uint32_t samples_per_sec() const override { return kRate; }
  uint16_t channels() const override { return kChannels; }
  uint16_t bits_per_sample() const override { return 32; }
};

// `frames` frames of `value` on every channel.
std::vector<float> tone(size_t frames, float value) {
  return std::vector<float>(frames * kChannels, value);
}

class ProcessClientTest : public ::testing::Test {
 protected:
  ProcessClientTest() {
    server->spawn(kRoot, 1);
    server->spawn(kStranger, 1);
  }

  void start() {
    client = make_process_loopback_client(server, kRoot, clock);
    ASSERT_TRUE(client->initialize_loopback(FloatFormat{}));
    auto capture_client = client->get_capture_client();
    ASSERT_TRUE(capture_client);
    capture = std::move(capture_client).value();
    ASSERT_TRUE(client->start());
    started_at = clock.now();
  }

  // Polls every 2 ms, as the engine does, for `span`, collecting every packet
  // due; the first failure ends it.
  Status<PlatformError> run(milliseconds span) {
    for (milliseconds t{0}; t < span; t += milliseconds(2)) {
      clock.current += milliseconds(2);
      auto polled = poll();
      if (!polled) return polled;
    }
    return Unit{};
  }

  Status<PlatformError> poll() {
    for (;;) {
      auto size = capture->next_packet_size();
      if (!size) return Err(std::move(size).error());
      if (*size == 0) return Unit{};
      EXPECT_EQ(*size, kPacketFrames);
      auto packet = capture->get_buffer();
      if (!packet) return Err(std::move(packet).error());
      const auto* samples = reinterpret_cast<const float*>(packet->data);
      for (uint32_t f = 0; f < packet->frames; ++f) {
        for (uint16_t c = 1; c < kChannels; ++c) {
          EXPECT_EQ(samples[f * kChannels + c], samples[f * kChannels]);
        }
        out.push_back(samples[f * kChannels]);
      }
      auto released = capture->release_buffer(packet->frames);
      if (!released) return released;
    }
  }

  void play(uint32_t input, const std::vector<float>& samples) {
    server->play(input, samples.data(), samples.size() * sizeof(float));
  }

  // The milliseconds since the start.
  size_t now_ms() const {
    return static_cast<size_t>(
        std::chrono::duration_cast<milliseconds>(clock.current - started_at).count());
  }

  // Frames of `out` that are not silent: {first, count, sum}.
  struct Heard {
    size_t first = 0;
    size_t count = 0;
    double sum = 0;
  };
  Heard heard(size_t from = 0) const {
    Heard h;
    for (size_t i = from; i < out.size(); ++i) {
      if (out[i] == 0.0f) continue;
      if (h.count == 0) h.first = i;
      ++h.count;
      h.sum += out[i];
    }
    return h;
  }

  size_t opened_for(uint32_t input) const {
    return static_cast<size_t>(std::count_if(server->opened.begin(), server->opened.end(),
                                             [&](const auto& o) { return o.sink_input == input; }));
  }
  size_t queries_for(uint32_t input) const {
    return static_cast<size_t>(
        std::count(server->input_queries.begin(), server->input_queries.end(), input));
  }

  std::shared_ptr<FakeProcessServer> server = std::make_shared<FakeProcessServer>();
  ManualClock clock;
  std::unique_ptr<AudioClient> client;
  std::unique_ptr<CaptureClient> capture;
  Clock::time_point started_at{};
  std::vector<float> out;  // the first channel of every frame handed out
};

// What the tree plays lands in the recording a little after it was played,
// once and whole; what other processes play, or streams without a process
// id, never does, and is not asked about again.
TEST_F(ProcessClientTest, RecordsTheTreeAndItsLaterChildrenButNoOtherProcess) {
  server->add_input(7, kRoot, 1);
  server->add_input(8, kStranger, 1);
  server->add_input(9, std::nullopt, 1);
  start();
  ASSERT_TRUE(run(milliseconds(10)));
  ASSERT_EQ(server->opened.size(), 1u);
  const auto& first = server->opened[0];
  EXPECT_EQ(first.sink_input, 7u);
  EXPECT_EQ(first.source, "one.monitor");
  EXPECT_NE(first.flags & PA_STREAM_DONT_MOVE, 0);  // the server must not carry it elsewhere
  EXPECT_EQ(first.format.format, PA_SAMPLE_FLOAT32LE);
  EXPECT_EQ(first.format.rate, kRate);
  EXPECT_EQ(first.format.channels, kChannels);

  const size_t played_at = now_ms();
  play(7, tone(20, 0.25f));
  play(8, tone(20, 0.5f));
  ASSERT_TRUE(run(milliseconds(100)));
  Heard h = heard();
  EXPECT_EQ(h.count, 20u);
  EXPECT_DOUBLE_EQ(h.sum, 20 * 0.25);
  EXPECT_GE(h.first, played_at);
  EXPECT_LE(h.first, played_at + 50);

  // A grandchild started after the recording began, through a child that
  // started after it too.
  server->spawn(kChild, kRoot);
  server->spawn(kGrandchild, kChild);
  server->add_input(10, kGrandchild, 2);
  server->add_input(11, kStranger, 2);
  ASSERT_TRUE(run(milliseconds(10)));
  EXPECT_EQ(opened_for(10), 1u);
  EXPECT_EQ(server->opened.back().source, "two.monitor");
  const size_t mark = out.size();
  play(10, tone(10, 0.5f));
  play(11, tone(10, 0.125f));
  ASSERT_TRUE(run(milliseconds(100)));
  h = heard(mark);
  EXPECT_EQ(h.count, 10u);
  EXPECT_DOUBLE_EQ(h.sum, 10 * 0.5);

  // Changes of a stranger's input are not looked into again.
  const size_t asked = queries_for(8);
  server->set_sink(8, 2);
  ASSERT_TRUE(run(milliseconds(10)));
  EXPECT_EQ(queries_for(8), asked);
  EXPECT_EQ(opened_for(8) + opened_for(9) + opened_for(11), 0u);
}

// Fragments cut inside a frame are joined; a hole the server reports keeps
// its place as silence between the sound around it.
TEST_F(ProcessClientTest, JoinsSplitFramesAndKeepsHolesInPlace) {
  server->add_input(7, kRoot, 1);
  start();
  ASSERT_TRUE(run(milliseconds(10)));
  const auto ones = tone(3, 1.0f);
  const auto* bytes = reinterpret_cast<const uint8_t*>(ones.data());
  const size_t total = ones.size() * sizeof(float);
  server->play(7, bytes, 12);  // a frame and a half
  server->play(7, bytes + 12, total - 12);
  server->play(7, nullptr, 2 * kChannels * sizeof(float));
  play(7, tone(2, 2.0f));
  ASSERT_TRUE(run(milliseconds(100)));
  const Heard h = heard();
  ASSERT_EQ(h.count, 5u);
  const std::vector<float> expected{1, 1, 1, 0, 0, 2, 2};
  EXPECT_EQ(std::vector<float>(out.begin() + static_cast<std::ptrdiff_t>(h.first),
                               out.begin() + static_cast<std::ptrdiff_t>(h.first + 7)),
            expected);
}

// A moved input's stream is killed by the server; the client opens one on
// the new sink's monitor, as often as the input moves: kills are not
// failures of ours.
TEST_F(ProcessClientTest, FollowsAStreamToAnotherSinkAsOftenAsItMoves) {
  server->add_input(7, kRoot, 1);
  start();
  ASSERT_TRUE(run(milliseconds(10)));
  server->set_sink(7, 2);
  ASSERT_TRUE(run(milliseconds(10)));
  ASSERT_EQ(server->opened.size(), 2u);
  EXPECT_EQ(server->opened[1].source, "two.monitor");
  EXPECT_EQ(server->live_streams(), 1);
  play(7, tone(10, 0.5f));
  ASSERT_TRUE(run(milliseconds(100)));
  EXPECT_EQ(heard().count, 10u);

  for (int i = 0; i < 3 * kMaxStreamFailures; ++i) {
    server->set_sink(7, i % 2 == 0 ? 1 : 2);
    ASSERT_TRUE(run(milliseconds(8))) << "move " << i;
  }
  ASSERT_TRUE(run(milliseconds(10)));
  EXPECT_EQ(opened_for(7), 2u + 3 * kMaxStreamFailures);
  EXPECT_EQ(server->live_streams(), 1);
  const size_t mark = out.size();
  play(7, tone(10, 0.5f));
  ASSERT_TRUE(run(milliseconds(100)));
  EXPECT_EQ(heard(mark).count, 10u);
}

// An input that ends is forgotten: no stream, no more questions about it.
TEST_F(ProcessClientTest, ForgetsAnInputThatEnds) {
  server->add_input(7, kRoot, 1);
  start();
  ASSERT_TRUE(run(milliseconds(10)));
  ASSERT_EQ(server->live_streams(), 1);
  server->remove_input(7);
  ASSERT_TRUE(run(milliseconds(10)));
  const size_t asked = queries_for(7);
  ASSERT_TRUE(run(milliseconds(500)));
  EXPECT_EQ(server->live_streams(), 0);
  EXPECT_EQ(queries_for(7), asked);
  EXPECT_EQ(opened_for(7), 1u);
  // The recording goes on, silent, on the clock.
  EXPECT_EQ(out.size(), now_ms() / kPacketFrames * kPacketFrames);
  EXPECT_EQ(heard().count, 0u);
}

// A new input may report no sink for a while: it is looked up again every
// retry interval and recorded once it has one. One that never gets a sink,
// or whose sink the server does not know, is dropped after the retries until
// its next change.
TEST_F(ProcessClientTest, RetriesAnInputWithoutASinkAFixedNumberOfTimes) {
  server->add_input(7, kRoot, PA_INVALID_INDEX);
  start();
  ASSERT_TRUE(run(kSinkRetryInterval * 5));
  EXPECT_EQ(server->opened.size(), 0u);
  EXPECT_GE(queries_for(7), 4u);
  EXPECT_LE(queries_for(7), 6u);
  server->set_sink(7, 1, /*announced=*/false);
  ASSERT_TRUE(run(kSinkRetryInterval + milliseconds(10)));
  EXPECT_EQ(opened_for(7), 1u);

  server->add_input(8, kRoot, PA_INVALID_INDEX);
  // Each retry waits the interval, and a little for the answer.
  ASSERT_TRUE(run(2 * kSinkRetryInterval * (kSinkRetries + 1)));
  EXPECT_EQ(queries_for(8), static_cast<size_t>(kSinkRetries) + 1);
  EXPECT_EQ(opened_for(8), 0u);
  server->set_sink(8, 2);  // its next change brings it back
  ASSERT_TRUE(run(milliseconds(10)));
  EXPECT_EQ(opened_for(8), 1u);

  server->sinks.erase(2);
  server->set_sink(8, 2);
  const size_t before = queries_for(8);
  ASSERT_TRUE(run(milliseconds(2000)));
  EXPECT_EQ(opened_for(8), 1u);
  EXPECT_LE(queries_for(8) - before, static_cast<size_t>(kSinkRetries) + 2);
  const size_t asked = queries_for(8);
  ASSERT_TRUE(run(milliseconds(200)));
  EXPECT_EQ(queries_for(8), asked);
  EXPECT_EQ(server->live_streams(), 1);  // input 7 went on all along
}

// Refusals of the stream other than by its input going away are counted:
// up to the limit in a row the client tries again (sound resets the count);
// one more ends the recording with the server's reason.
TEST_F(ProcessClientTest, AStreamRefusedPastTheLimitEndsTheRecording) {
  server->add_input(7, kRoot, 1);
  server->refusals_left = kMaxStreamFailures;
  start();
  ASSERT_TRUE(run(milliseconds(200)));
  EXPECT_EQ(opened_for(7), static_cast<size_t>(kMaxStreamFailures) + 1);
  EXPECT_EQ(server->live_streams(), 1);
  play(7, tone(10, 0.5f));
  ASSERT_TRUE(run(milliseconds(100)));
  EXPECT_EQ(heard().count, 10u);

  server->refusals_left = -1;
  server->set_sink(7, 2);  // the kill is not counted, the refusals are
  Status<PlatformError> ran = Unit{};
  for (int i = 0; i < 100 && ran; ++i) ran = run(milliseconds(2));
  ASSERT_FALSE(ran);
  EXPECT_EQ(opened_for(7), 2u * (kMaxStreamFailures + 1));
  EXPECT_EQ(ran.error().code(), kDeviceInvalidated);
  const std::string text = platform::render(ran.error());
  EXPECT_NE(text.find("Recording process 100: " + std::string(pa_strerror(PA_ERR_NOTSUPPORTED))),
            std::string::npos)
      << text;
}

// What the library refuses outright ends the recording at once.
TEST_F(ProcessClientTest, CallsTheLibraryRefusesEndTheRecording) {
  server->add_input(7, kRoot, 1);
  server->refuse_connect = true;
  start();
  auto ran = run(milliseconds(10));
  ASSERT_FALSE(ran);
  EXPECT_EQ(ran.error().code(), kDeviceInvalidated);

  server = std::make_shared<FakeProcessServer>();
  server->refuse_queries = true;
  start();
  server->add_input(7, kRoot, 1);
  ran = run(milliseconds(10));
  ASSERT_FALSE(ran);
  EXPECT_EQ(ran.error().code(), kEFail);

  server = std::make_shared<FakeProcessServer>();
  server->subscription_accepted = false;
  client = make_process_loopback_client(server, kRoot, clock);
  ASSERT_TRUE(client->initialize_loopback(FloatFormat{}));
  auto started = client->start();
  ASSERT_FALSE(started);
  EXPECT_EQ(started.error().code(), kEFail);
}

// A server that goes away mid-recording ends it with the lost connection,
// and the client leaves nothing behind on the connection.
TEST_F(ProcessClientTest, AServerThatDiesEndsTheRecording) {
  server->add_input(7, kRoot, 1);
  start();
  ASSERT_TRUE(run(milliseconds(10)));
  play(7, tone(10, 0.5f));
  ASSERT_TRUE(run(milliseconds(10)));
  server->die();
  auto ran = run(milliseconds(2));
  ASSERT_FALSE(ran);
  EXPECT_EQ(ran.error().code(), kServiceNotRunning);
  const std::string text = platform::render(ran.error());
  EXPECT_NE(text.find("Recording process 100: the connection to the sound server was lost"),
            std::string::npos)
      << text;
  EXPECT_TRUE(client->stop());
  capture.reset();
  client.reset();
  EXPECT_FALSE(server->has_listener());
}

// Nothing plays: whole packets of silence, exactly as many as the clock
// says are due, however unevenly it is polled; time while stopped does not
// count.
TEST_F(ProcessClientTest, SilenceIsPacedByTheClock) {
  start();
  ASSERT_TRUE(poll());
  EXPECT_TRUE(out.empty());
  clock.current += milliseconds(9);
  ASSERT_TRUE(poll());
  EXPECT_TRUE(out.empty());
  clock.current += milliseconds(1);
  ASSERT_TRUE(poll());
  EXPECT_EQ(out.size(), kPacketFrames);
  clock.current += milliseconds(333);  // a stall
  ASSERT_TRUE(poll());
  EXPECT_EQ(out.size(), 340u);
  ASSERT_TRUE(run(milliseconds(1000)));
  EXPECT_EQ(out.size(), 1340u);
  EXPECT_EQ(heard().count, 0u);

  ASSERT_TRUE(client->stop());
  clock.current += std::chrono::seconds(5);
  ASSERT_TRUE(client->start());
  ASSERT_TRUE(poll());
  EXPECT_EQ(out.size(), 1340u);
  clock.current += milliseconds(35);
  ASSERT_TRUE(poll());
  EXPECT_EQ(out.size(), 1370u);
}

}  // namespace
}  // namespace vorel::platform::pulse
