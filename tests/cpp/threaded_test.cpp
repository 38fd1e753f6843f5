// The pieces that threads share, driven from several threads at once. They
// run in every build; the thread-checking build is where they pay off.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/loopback_engine.h"
#include "platform/process_activation.h"
#include "platform/silence_fill.h"
#include "fakes/fake_audio_services.h"
#include "fakes/fake_window_services.h"
#include "fakes/quiet_process_services.h"
#include "util/clock.h"
#include "util/sync.h"
#include "platform/worker_thread.h"
#include "video/video_worker.h"
#include "platform/system_clock.h"

namespace vorel {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using Steady = std::chrono::steady_clock;

// Generous bounds: these tests check that nothing hangs, not how fast it is.
constexpr auto kLong = seconds(20);

Duration within(double secs) { return duration_from_secs(secs).value(); }

// --- milestones and guarded values ----------------------------------------------

TEST(ThreadedMilestone, EveryWaiterWakesWhenReached) {
  Milestone milestone;
  constexpr int kWaiters = 6;
  std::atomic<int> waiting{0};
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < kWaiters; ++i) {
    waiters.emplace_back([&] {
      waiting.fetch_add(1);
      if (milestone.wait(within(20.0))) woken.fetch_add(1);
    });
  }
  while (waiting.load() < kWaiters) std::this_thread::yield();
  EXPECT_FALSE(milestone.reached());
  const auto began = Steady::now();
  milestone.reach();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(woken.load(), kWaiters);
  EXPECT_LT(Steady::now() - began, kLong) << "woken, not timed out";
}

TEST(ThreadedMilestone, WaitersTimeOutAloneAndLateWaitersSeeTheFlag) {
  Milestone milestone;
  std::atomic<int> timed_out{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      const auto began = Steady::now();
      if (!milestone.wait(within(0.03))) {
        timed_out.fetch_add(1);
        EXPECT_GE(Steady::now() - began, milliseconds(30));
      }
    });
  }
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(timed_out.load(), 4);

  // Reached, cleared and reached again while others poll and wait. The
  // poller keeps what it read, so that the read is not optimised away.
  std::atomic<bool> done{false};
  std::atomic<int> polled_reached{0};
  std::thread poller([&] {
    while (!done.load()) {
      if (milestone.reached()) polled_reached.fetch_add(1, std::memory_order_relaxed);
    }
  });
  for (int round = 0; round < 50; ++round) {
    std::thread waiter([&] { EXPECT_TRUE(milestone.wait(within(20.0))); });
    milestone.reach();
    waiter.join();
    milestone.clear();
    EXPECT_FALSE(milestone.wait(within(0.0)));
  }
  done.store(true);
  poller.join();
}

TEST(ThreadedGuarded, ReadersSeeWholeValuesOnly) {
  Guarded<std::optional<std::string>> value;
  const std::string a(64, 'a');
  const std::string b(200, 'b');
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int i = 0; i < 2000; ++i) value.set(i % 2 == 0 ? a : b);
    value.set(std::nullopt);
    done.store(true);
  });
  int torn = 0;
  while (!done.load()) {
    std::optional<std::string> seen = value.get();
    if (seen && *seen != a && *seen != b) ++torn;
  }
  writer.join();
  EXPECT_EQ(torn, 0);
  EXPECT_EQ(value.get(), std::nullopt);
}

// --- the worker thread ------------------------------------------------------------

TEST(ThreadedWorker, FinishedOnlyOnceTheBodyReturnedAndJoinWaitsForIt) {
  Milestone release;
  std::atomic<bool> body_ended{false};
  auto spawned = WorkerThread::spawn("vorel-test", [&] {
    EXPECT_TRUE(release.wait(within(20.0)));
    body_ended.store(true);
  });
  ASSERT_TRUE(spawned.ok());
  WorkerThread worker = std::move(spawned).value();
  std::this_thread::sleep_for(milliseconds(5));
  EXPECT_FALSE(worker.finished()) << "the body is still waiting";
  release.reach();
  worker.join();
  EXPECT_TRUE(body_ended.load());
  EXPECT_TRUE(worker.finished());
  worker.join();  // a second join is harmless
}

TEST(ThreadedWorker, ABodyOutlivesItsHandleAndReportsItsEnd) {
  Milestone release;
  std::shared_ptr<std::atomic<bool>> finished;
  {
    auto spawned = WorkerThread::spawn("vorel-detached", [&release] {
      EXPECT_TRUE(release.wait(within(20.0)));
    });
    ASSERT_TRUE(spawned.ok());
    finished = spawned->finished_flag();
  }  // the handle is gone (it detached the thread); the thread is not
  EXPECT_FALSE(finished->load());
  release.reach();
  const auto deadline = Steady::now() + kLong;
  while (!finished->load() && Steady::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_TRUE(finished->load());
}

TEST(ThreadedWorker, AHandleDroppedOrReplacedLeavesItsThreadRunning) {
  constexpr int kWorkers = 4;
  Milestone release;
  std::atomic<int> ended{0};
  std::vector<std::shared_ptr<std::atomic<bool>>> flags;
  {
    std::optional<WorkerThread> slot;
    for (int i = 0; i < kWorkers; ++i) {
      auto spawned = WorkerThread::spawn("vorel-replaced", [&] {
        EXPECT_TRUE(release.wait(within(20.0)));
        ended.fetch_add(1);
      });
      ASSERT_TRUE(spawned.ok());
      flags.push_back(spawned->finished_flag());
      if (slot) {
        *slot = std::move(spawned).value();  // the previous one goes on detached
      } else {
        slot.emplace(std::move(spawned).value());
      }
    }
  }  // the last one is detached by the destructor
  release.reach();
  const auto deadline = Steady::now() + kLong;
  while (ended.load() < kWorkers && Steady::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_EQ(ended.load(), kWorkers);
  for (const auto& flag : flags) {
    while (!flag->load() && Steady::now() < deadline) std::this_thread::sleep_for(milliseconds(1));
    EXPECT_TRUE(flag->load());
  }
}

// --- the activation hand-over with a completion racing the time-out -------------

class CountedClientInterface final : public ActivatedInterface {
 public:
  explicit CountedClientInterface(testing::AudioScript& stack) : stack_(stack) {}
  Result<std::unique_ptr<platform::AudioClient>, PlatformError> query_audio_client() override {
    return std::unique_ptr<platform::AudioClient>(
        std::make_unique<testing::FakeAudioClient>(stack_, "process"));
  }

 private:
  testing::AudioScript& stack_;
};

TEST(ThreadedActivation, ACompletionRacingTheTimeOutIsDeliveredOrKeptThenReleased) {
  // The platform reports around the moment the worker gives up: before,
  // during or after its wait. Either the worker gets the client, or the
  // handler's records keep it until the platform drops the handler.
  int delivered = 0;
  int timed_out = 0;
  for (int round = 0; round < 40; ++round) {
    testing::AudioScript stack;
    std::optional<std::thread> platform_thread;
    {
      PendingActivation pending;
      platform_thread.emplace([handler = pending.completion(), &stack, round]() mutable {
        std::this_thread::sleep_for(std::chrono::microseconds(250 * (round % 20)));
        ActivateResult r;
        r.activated = std::make_unique<CountedClientInterface>(stack);
        EXPECT_FALSE(handler.completed(std::move(r)).has_value());
      });
      auto result = pending.wait(milliseconds(2));
      if (result.ok()) {
        ++delivered;
        EXPECT_NE(*result, nullptr);
      } else {
        ++timed_out;
        EXPECT_EQ(result.error(), "Process audio loopback activation timed out.");
      }
    }  // the worker's records go, possibly before the platform reports
    platform_thread->join();
    EXPECT_EQ(stack.objects_alive, 0) << "round " << round;
  }
  EXPECT_EQ(delivered + timed_out, 40);
}

TEST(ThreadedActivation, ALateCompletionOnAnotherThreadAfterTheWorkerLeft) {
  testing::AudioScript stack;
  Milestone worker_gone;
  PendingActivation pending;
  std::thread platform_thread([handler = pending.completion(), &stack, &worker_gone]() mutable {
    EXPECT_TRUE(worker_gone.wait(within(20.0)));
    ActivateResult r;
    r.activated = std::make_unique<CountedClientInterface>(stack);
    EXPECT_FALSE(handler.completed(std::move(r)).has_value());
    EXPECT_EQ(stack.objects_alive, 1) << "kept by the handler's records";
  });
  auto result = pending.wait(milliseconds(5));
  ASSERT_FALSE(result.ok());
  pending = PendingActivation();  // the worker drops its references
  worker_gone.reach();
  platform_thread.join();
  EXPECT_EQ(stack.objects_alive, 0);
}

// --- the audio engine, stopped from another thread ------------------------------

struct ThreadedRecording {
  testing::MemoryFileState file;
  AudioCaptureState state;
  std::optional<std::string> failure;
  Steady::time_point started_seen_at;
  Steady::time_point stop_requested_at;

  // Runs `body` on a worker; requests the stop `after` the started
  // milestone (or at once when `before_start`), then joins.
  template <class Body>
  void run(Body body, milliseconds after, bool before_start = false) {
    if (before_start) {
      stop_requested_at = Steady::now();
      state.stop_requested.store(true);
    }
    std::thread worker([&] { failure = body(state, file); });
    if (!before_start) {
      EXPECT_TRUE(state.started.wait(within(20.0)));
      started_seen_at = Steady::now();
      std::this_thread::sleep_for(after);
      stop_requested_at = Steady::now();
      state.stop_requested.store(true);
    }
    worker.join();
  }

  size_t frames() const { return file.bytes.size() < 44 ? 0 : (file.bytes.size() - 44) / 4; }
};

AudioWorkerEnvironment memory_environment(platform::AudioServices& services,
                                          testing::MemoryFileState& file) {
  AudioWorkerEnvironment env{services, system_clock()};
  env.open_file = [&file](const std::string&) -> Result<std::unique_ptr<platform::File>, IoError> {
    return std::unique_ptr<platform::File>(std::make_unique<testing::MemoryFile>(file));
  };
  return env;
}

TEST(ThreadedLoopbackEngine, EveryQueuedPacketLandsWheneverTheStopComes) {
  for (const int after_ms : {-1, 0, 3, 20}) {
    SCOPED_TRACE(after_ms);
    testing::AudioScript script;
    script.bits = 16;  // copied as they are
    for (int i = 0; i < 50; ++i) {
      testing::FakePacket p;
      p.frames = 96;
      p.bytes.assign(96 * 4, static_cast<uint8_t>(i + 1));
      script.pending.push_back(p);
    }
    testing::FakeAudioServices services(script);
    ThreadedRecording rec;
    rec.run(
        [&](AudioCaptureState& state, testing::MemoryFileState& file) {
          AudioWorkerEnvironment env = memory_environment(services, file);
          return run_loopback_capture(state, {"out.wav", std::nullopt}, env);
        },
        milliseconds(std::max(after_ms, 0)), after_ms < 0);
    EXPECT_EQ(rec.failure, std::nullopt);
    EXPECT_TRUE(rec.state.started.reached());
    ASSERT_EQ(rec.frames(), 50u * 96u);
    EXPECT_EQ(rec.file.bytes[44], 1);
    EXPECT_EQ(rec.file.bytes.back(), 50);
    EXPECT_TRUE(rec.file.closed);
    EXPECT_EQ(script.objects_alive, 0);
    ASSERT_GE(script.calls.size(), 2u);
    EXPECT_EQ(script.calls[script.calls.size() - 2], "Stop");
    EXPECT_EQ(script.calls.back(), "Reset");
  }
}

TEST(ThreadedSilenceFill, AQuietProcessIsRecordedForAsLongAsItRan) {
  testing::AudioScript script;
  // A process that plays nothing, its gaps filled on the real clock.
  testing::QuietProcessServices services(script, system_clock());
  ThreadedRecording rec;
  const auto spawned_at = Steady::now();
  rec.run(
      [&](AudioCaptureState& state, testing::MemoryFileState& file) {
        AudioWorkerEnvironment env = memory_environment(services, file);
        return run_loopback_capture(state, {"quiet.wav", 99}, env);
      },
      milliseconds(120));
  const auto joined_at = Steady::now();
  EXPECT_EQ(rec.failure, std::nullopt);
  EXPECT_EQ(script.objects_alive, 0);

  // The stream started before the started milestone was seen and was
  // drained after the stop request: everything due by then is there, less
  // one packet's worth at most; nothing beyond the time the worker lived.
  auto frames_in = [](Steady::duration d) {
    return static_cast<size_t>(std::chrono::duration_cast<std::chrono::microseconds>(d).count() *
                               48 / 1000);
  };
  EXPECT_GE(rec.frames() + 480 + 1, frames_in(rec.stop_requested_at - rec.started_seen_at));
  EXPECT_LE(rec.frames(), frames_in(joined_at - spawned_at) + 1);
  // All of it silence.
  for (size_t i = 44; i < rec.file.bytes.size(); ++i) {
    if (rec.file.bytes[i] != 0) {
      ADD_FAILURE() << "a non-zero byte at " << i;
      break;
    }
  }
}

// --- the video capture loop, stopped from another thread ------------------------

// Counts frames and reports the third one; the readiness handshake can be
// held until the test lets it go.
class CountingSink final : public FrameSink {
 public:
  std::atomic<int> writes{0};
  std::atomic<size_t> wrong_sizes{0};
  size_t expected_size = 0;
  Milestone third_frame;
  Milestone handshake_entered;
  Milestone let_ready;

  ReadyOutcome wait_ready() override {
    handshake_entered.reach();
    (void)let_ready.wait(within(20.0));
    return {};
  }
  WriteOutcome write(const uint8_t*, size_t size) override {
    if (size != expected_size) wrong_sizes.fetch_add(1);
    if (writes.fetch_add(1) + 1 == 3) third_frame.reach();
    return {};
  }
};

testing::FakeWindowServices small_monitor() {
  testing::FakeWindowServices fake;
  fake.monitors.push_back(testing::monitor_entry(testing::monitor(0, 0, 64, 32, true, u"M")));
  return fake;
}

TEST(ThreadedVideoWorker, AStopFromAnotherThreadEndsTheLoop) {
  testing::FakeWindowServices services = small_monitor();
  CountingSink sink;
  sink.expected_size = 64 * 32 * 4;
  sink.let_ready.reach();
  VideoCaptureState state;
  std::thread worker(
      [&] { run_video_worker(state, services, sink, system_clock(), {240, 0, std::nullopt}); });
  EXPECT_TRUE(state.ready.wait(within(20.0)));
  EXPECT_EQ(state.width.get(), 64);
  EXPECT_EQ(state.height.get(), 32);
  EXPECT_TRUE(sink.third_frame.wait(within(20.0)));
  state.stop_requested.store(true);
  worker.join();
  EXPECT_EQ(state.error.get(), std::nullopt);
  EXPECT_GE(sink.writes.load(), 3);
  EXPECT_EQ(sink.wrong_sizes.load(), 0u);
  EXPECT_EQ(services.surfaces_alive, 0);
  EXPECT_EQ(services.grabs, sink.writes.load());
}

TEST(ThreadedVideoWorker, AStopDuringTheHandshakeWritesNothing) {
  testing::FakeWindowServices services = small_monitor();
  CountingSink sink;
  sink.expected_size = 64 * 32 * 4;
  VideoCaptureState state;
  std::thread worker(
      [&] { run_video_worker(state, services, sink, system_clock(), {30, 0, std::nullopt}); });
  EXPECT_TRUE(sink.handshake_entered.wait(within(20.0)));
  state.stop_requested.store(true);
  sink.let_ready.reach();
  worker.join();
  EXPECT_EQ(state.error.get(), std::nullopt);
  EXPECT_EQ(sink.writes.load(), 0);
  EXPECT_EQ(services.surfaces_alive, 0);
}

}  // namespace
}  // namespace vorel
