// A named worker thread that can be joined or polled for its end; a handle
// let go while the thread runs detaches it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "errors/io_error.h"
#include "util/result.h"

namespace vorel {

// What a worker thread needs from the system: a new thread and its name.
// Tests stand in for it to see a failed creation and where the name is set.
class ThreadStarter {
 public:
  virtual ~ThreadStarter() = default;
  // Starts `run` on a new thread; when none could be made, the C++
  // runtime's errno-style code.
  virtual Result<std::thread, int> start(std::function<void()> run) = 0;
  // Names the calling thread.
  virtual void name_current_thread(const char* name) = 0;
};

// The system's threads; lives as long as the process.
ThreadStarter& system_thread_starter();

class WorkerThread {
 public:
  // Starts `body` on a new thread named `name`. `starter` must outlive the
  // thread.
  static Result<WorkerThread, IoError> spawn(const char* name, std::function<void()> body,
                                             ThreadStarter& starter = system_thread_starter());

  WorkerThread(WorkerThread&&) noexcept = default;
  WorkerThread& operator=(WorkerThread&& other) noexcept;
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;
  // A thread still held at destruction goes on detached.
  ~WorkerThread();

  bool finished() const { return finished_->load(std::memory_order_acquire); }
  // Set once the body has returned; shared with whoever needs to know.
  std::shared_ptr<std::atomic<bool>> finished_flag() const { return finished_; }
  void join();

 private:
  WorkerThread(std::thread thread, std::shared_ptr<std::atomic<bool>> finished)
      : thread_(std::move(thread)), finished_(std::move(finished)) {}

  std::thread thread_;
  std::shared_ptr<std::atomic<bool>> finished_;
};

}  // namespace vorel
