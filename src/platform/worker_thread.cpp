#include "platform/worker_thread.h"

#include <string>
#include <system_error>

#include "platform/kernel.h"

namespace vorel {

Result<WorkerThread, IoError> WorkerThread::spawn(const char* name, std::function<void()> body) {
  auto finished = std::make_shared<std::atomic<bool>>(false);
  platform::begin_thread_creation();
  try {
    std::thread thread([name = std::string(name), body = std::move(body), finished]() {
      platform::set_current_thread_name(name.c_str());
      body();
      finished->store(true, std::memory_order_release);
    });
    return WorkerThread(std::move(thread), std::move(finished));
  } catch (const std::system_error& e) {
    // The only way std::thread reports that no thread could be made; its
    // code is errno-style, which is not what the system's texts are for.
    return Err(IoError::os(platform::thread_creation_error(e.code().value())));
  }
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
