// What both capture classes need from the Python side: waits that release
// the interpreter lock, the worker slot, a gate through which workers enter
// Python (closed for good when the interpreter starts to exit), and the
// deferred release of references that a worker gives up without the lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "errors/duration.h"
#include "module/py.h"
#include "util/function_ref.h"
#include "util/sync.h"
#include "util/worker_thread.h"

namespace vorel::py {

// Queues a reference for release; callable from any thread, with or without
// the interpreter lock. Released the next time the module is entered or a
// worker holds the lock.
void defer_decref(PyObject* object);
// Releases the queued references; the interpreter lock must be held.
void drain_deferred();

// A worker's visit to Python: takes the interpreter lock unless the
// interpreter has begun to exit, in which case entered() is false and
// nothing of Python may be touched. A worker keeps one thread state for all
// its visits (made at the first), so a visit allocates nothing;
// end_python_visits() gives it back when the worker ends.
class PythonSection {
 public:
  PythonSection();
  ~PythonSection();
  PythonSection(const PythonSection&) = delete;
  PythonSection& operator=(const PythonSection&) = delete;
  bool entered() const { return entered_; }

 private:
  bool entered_ = false;
};

// Deletes the calling worker's thread state, if it made one and the
// interpreter is not exiting (then it is left to the interpreter's own
// clean-up).
void end_python_visits();

// Counts the workers of one capture object that have not yet ended, so that
// a restart can wait for the previous one.
class LiveWorkers {
 public:
  void begin();
  void end();
  // Waits (interpreter lock released) until no worker is left.
  void wait_idle();

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_ = 0;
};

// Registers a running worker with the interpreter-exit hook: at exit its stop
// is requested and, where `join_at_exit`, its end is awaited (bounded) so
// that it can finish its output. Installs the hook on first use.
bool register_for_exit(std::function<void()> request_stop,
                       std::shared_ptr<std::atomic<bool>> finished, bool join_at_exit);

// The worker slot of a capture object: the handle of the thread started
// last, behind a lock of its own.
class WorkerSlot {
 public:
  void store(WorkerThread thread);
  std::optional<WorkerThread> take();

 private:
  std::mutex mutex_;
  std::optional<WorkerThread> thread_;
};

// What a capture object holds of its workers besides the shared state.
struct WorkerControl {
  std::shared_ptr<LiveWorkers> live = std::make_shared<LiveWorkers>();
  WorkerSlot slot;
};

// Runs `body` on a new thread named `name`, registers it with the exit hook
// (which calls `request_stop` and waits, bounded, for its end) and keeps its
// handle in the slot. Returns None, or null with RuntimeError
// "<spawn_failure><OS error text>" when no thread could be made.
PyObject* launch_worker(WorkerControl& control, const char* name, const char* spawn_failure,
                        std::function<void()> request_stop, std::function<void()> body);

// A method taking one optional `timeout` argument: binds it, then calls `run`
// with the argument (null when left out).
PyObject* timeout_method(const char* display_name, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, FunctionRef<PyObject*(PyObject*)> run);

// wait(timeout=None): joins the worker taken from `slot`, or polls it every
// 10 ms until `timeout` and then lets it go on detached. Null with an
// exception set when the time-out cannot become a duration.
PyObject* wait_for_worker(WorkerSlot& slot, PyObject* timeout);

// A milestone wait with the lock released; null with an exception set when
// the time-out is not a number or cannot become a duration.
PyObject* wait_milestone(Milestone& milestone, PyObject* timeout_or_null, double default_timeout);

// stop(): sets the stop request, then clears `running`; returns at once.
template <class State>
void request_stop(State& state) {
  state.stop_requested.exchange(true);
  state.running.exchange(false);
}

// The worker's failure text as a str, or None.
PyObject* error_text(const Guarded<std::optional<std::string>>& error);

// The text of a Python exception: its type's qualified name, ": ", and its
// str() (or "<exception str() failed>").
std::string exception_text(PyObject* exception);

}  // namespace vorel::py
