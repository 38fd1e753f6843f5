#include "platform/worker_thread.h"

#include <string>
#include <system_error>

#include "platform/kernel.h"

namespace vorel {
namespace {

class SystemThreadStarter final : public ThreadStarter {
 public:
  Result<std::thread, int> start(std::function<void()> run) override {
    try {
      return std::thread(std::move(run));
    } catch (const std::system_error& e) {
      // The only way std::thread reports that no thread could be made.
      return Err(e.code().value());
    }
  }
  void name_current_thread(const char* name) override { platform::set_current_thread_name(name); }
};

}  // namespace

ThreadStarter& system_thread_starter() {
  static SystemThreadStarter starter;
  return starter;
}

Result<WorkerThread, IoError> WorkerThread::spawn(const char* name, std::function<void()> body,
                                                  ThreadStarter& starter) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  platform::begin_thread_creation();
  Result<std::thread, int> started =
      starter.start([name = std::string(name), body = std::move(body), finished, &starter]() {
        starter.name_current_thread(name.c_str());
        body();
        finished->store(true, std::memory_order_release);
      });
  if (!started.ok()) {
    // The runtime's code is errno-style, which is not what the system's
    // texts are for: the platform finds the code to report.
    return Err(IoError::os(platform::thread_creation_error(started.error())));
  }
  return WorkerThread(std::move(started).value(), std::move(finished));
}

WorkerThread& WorkerThread::operator=(WorkerThread&& other) noexcept {
  if (this != &other) {
    if (thread_.joinable()) thread_.detach();
    thread_ = std::move(other.thread_);
    finished_ = std::move(other.finished_);
  }
  return *this;
}

WorkerThread::~WorkerThread() {
  if (thread_.joinable()) thread_.detach();
}

void WorkerThread::join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace vorel
