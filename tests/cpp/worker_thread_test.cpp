// The worker thread's contract, through a stand-in for the system's thread
// creation: where the body runs and after what, when it counts as finished,
// what joining and letting go of a handle do, and what a failed creation
// reports. Every wait here is for an event, bounded only against hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/kernel.h"
#include "platform/worker_thread.h"
#include "util/duration.h"
#include "util/sync.h"

namespace vorel {
namespace {

using Steady = std::chrono::steady_clock;

// Bounds that only keep a broken build from hanging.
const Duration kBound{20, 0};
constexpr auto kSpinBound = std::chrono::seconds(20);

struct Event {
  std::string what;
  std::thread::id thread;
  friend bool operator==(const Event&, const Event&) = default;
};

// Real threads that start running only once `go` is reached, and a record
// of what happened on which thread. A failure can be scripted instead.
class RecordingStarter final : public ThreadStarter {
 public:
  RecordingStarter() { go.reach(); }

  Result<std::thread, int> start(std::function<void()> run) override {
    ++starts;
    if (fail_with) {
      if (system_code) platform::set_last_error(*system_code);
      return Err(*fail_with);
    }
    return std::thread([this, run = std::move(run)] {
      (void)go.wait(kBound);
      run();
    });
  }
  void name_current_thread(const char* name) override { note(std::string("named ") + name); }

  void note(std::string what) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back({std::move(what), std::this_thread::get_id()});
  }
  std::vector<Event> events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

  Milestone go;
  int starts = 0;
  std::optional<int> fail_with;        // the runtime's errno-style code
  std::optional<int32_t> system_code;  // what the system left as the last error

 private:
  mutable std::mutex mutex_;
  std::vector<Event> events_;
};

WorkerThread spawned(Result<WorkerThread, IoError> result) {
  EXPECT_TRUE(result.ok());
  return std::move(result).value();
}

bool spin_until_set(const std::atomic<bool>& flag) {
  const auto deadline = Steady::now() + kSpinBound;
  while (!flag.load() && Steady::now() < deadline) std::this_thread::yield();
  return flag.load();
}

TEST(WorkerThread, TheBodyRunsOnceOnItsOwnThreadAfterNamingIt) {
  RecordingStarter starter;
  starter.go.clear();
  std::string name = "vorel-named";
  WorkerThread worker = spawned(
      WorkerThread::spawn(name.c_str(), [&starter] { starter.note("body"); }, starter));
  // The caller's text may be gone before the thread names itself.
  name.assign(name.size(), 'x');
  starter.go.reach();
  worker.join();
  const std::vector<Event> events = starter.events();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].what, "named vorel-named");
  EXPECT_EQ(events[1].what, "body");
  EXPECT_EQ(events[0].thread, events[1].thread);
  EXPECT_NE(events[1].thread, std::this_thread::get_id());
  EXPECT_EQ(starter.starts, 1);
}

TEST(WorkerThread, FinishedOnlyOnceTheBodyReturnedAndJoinedAnyNumberOfTimes) {
  RecordingStarter starter;
  Milestone entered;
  Milestone release;
  std::shared_ptr<std::atomic<bool>> flag;  // handed to the body before release
  std::optional<bool> finished_at_body_end;
  WorkerThread worker = spawned(WorkerThread::spawn(
      "vorel-test",
      [&] {
        entered.reach();
        if (release.wait(kBound)) finished_at_body_end = flag->load();
      },
      starter));
  ASSERT_TRUE(entered.wait(kBound));
  EXPECT_FALSE(worker.finished()) << "the body is still running";
  flag = worker.finished_flag();
  release.reach();
  worker.join();
  EXPECT_TRUE(worker.finished());
  EXPECT_EQ(finished_at_body_end, std::optional<bool>(false)) << "set before the body returned";
  worker.join();

  // A thread that ended before anyone joined it.
  WorkerThread quick = spawned(WorkerThread::spawn("vorel-quick", [] {}, starter));
  EXPECT_TRUE(spin_until_set(*quick.finished_flag()));
  quick.join();
  quick.join();
  EXPECT_TRUE(quick.finished());
}

// A body that waits to be released and notes whether it was.
struct Held {
  Milestone release;
  std::atomic<bool> released{false};
  std::function<void()> body() {
    return [this] { released.store(release.wait(kBound)); };
  }
};

TEST(WorkerThread, AHandleReplacedOrDroppedWhileItsThreadRunsLetsItRunOn) {
  RecordingStarter starter;
  Held a, b, c;
  std::shared_ptr<std::atomic<bool>> a_finished, b_finished, c_finished;
  {
    WorkerThread first = spawned(WorkerThread::spawn("vorel-a", a.body(), starter));
    WorkerThread second = spawned(WorkerThread::spawn("vorel-b", b.body(), starter));
    a_finished = first.finished_flag();
    b_finished = second.finished_flag();
    first = std::move(second);  // a's thread goes on detached
    EXPECT_EQ(first.finished_flag(), b_finished);
    b.release.reach();
    first.join();  // joins b's thread, not a's
    EXPECT_TRUE(b_finished->load());
    EXPECT_TRUE(b.released.load());
    EXPECT_FALSE(a_finished->load()) << "a's thread waits for its release";

    WorkerThread third = spawned(WorkerThread::spawn("vorel-c", c.body(), starter));
    c_finished = third.finished_flag();
  }  // c's handle dropped while it runs
  a.release.reach();
  c.release.reach();
  EXPECT_TRUE(spin_until_set(*a_finished));
  EXPECT_TRUE(spin_until_set(*c_finished));
  EXPECT_TRUE(a.released.load()) << "released, not timed out";
  EXPECT_TRUE(c.released.load()) << "released, not timed out";
}

TEST(WorkerThread, ACreationFailureReportsTheCodeThePlatformGivesIt) {
  constexpr int32_t kStale = 5;              // a last error from earlier work
  constexpr int32_t kNoResources = 1450;     // what a system may leave when it fails
  struct Case {
    std::optional<int32_t> system_code;
  };
  for (const Case& c : {Case{std::nullopt}, Case{kNoResources}}) {
    SCOPED_TRACE(c.system_code.value_or(0));
    // What the platform makes of the runtime's EAGAIN in the state the
    // failure leaves: the stale error cleared, the system's code if any.
    platform::set_last_error(kStale);
    platform::begin_thread_creation();
    if (c.system_code) platform::set_last_error(*c.system_code);
    const int32_t expected = platform::thread_creation_error(EAGAIN);

    RecordingStarter starter;
    starter.fail_with = EAGAIN;
    starter.system_code = c.system_code;
    auto token = std::make_shared<int>(0);
    platform::set_last_error(kStale);
    auto result = WorkerThread::spawn("vorel-none", [token] { *token = 1; }, starter);
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().kind(), IoError::Kind::kOs);
    EXPECT_EQ(result.error().os_code(), expected);
    EXPECT_EQ(starter.starts, 1);
    EXPECT_EQ(*token, 0) << "the body never ran";
    EXPECT_EQ(token.use_count(), 1) << "and nothing keeps it";
  }
}

}  // namespace
}  // namespace vorel
