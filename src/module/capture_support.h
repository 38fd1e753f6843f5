// What both capture classes need from the Python side: the lifecycle of a
// capture object (one worker at a time, whatever its callers do), waits that
// release the interpreter lock, a gate through which workers enter Python,
// the interpreter-exit hook, and the deferred release of references that a
// worker gives up without the lock.
//
// Lock order, for every lock of this module: our mutexes (a Lifecycle's, the
// fields of a state record, the exit registry, the deferred queue) are
// leaves. A thread may take one while it holds the interpreter lock, but it
// never waits for the interpreter lock, calls into Python or takes another of
// our mutexes while it holds one. Waits that block release the interpreter
// lock first and give their mutex back before taking the interpreter lock
// again, so a worker that needs the interpreter lock can always get it. The
// one wait made under a mutex is the join of a worker thread under its
// record's own mutex, which that thread never takes.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "util/duration.h"
#include "module/py.h"
#include "util/function_ref.h"
#include "util/sync.h"
#include "platform/worker_thread.h"

namespace vorel::py {

// Queues a reference for release; callable from any thread, with or without
// the interpreter lock, from destructors too (it never throws). Released the
// next time the module is entered, a worker holds the lock, or the exit hook
// runs.
void defer_decref(PyObject* object) noexcept;
// Releases the queued references; the interpreter lock must be held.
void drain_deferred();

// A worker's visit to Python: takes the interpreter lock unless the
// interpreter is exiting, in which case entered() is false and nothing of
// Python may be touched. A worker keeps one thread state for all its visits
// (made at the first), so a visit allocates nothing; end_python_visits()
// gives it back when the worker ends.
//
// Once finalization has begun, the interpreter ends any other thread that
// asks for the lock back by unwinding its stack (a worker inside the
// stream's `write` can be caught there). The section and Ref then leave
// Python alone on the way out.
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

// Gives back the calling worker's thread state and releases what it queued,
// taking the lock once more if needed (not once finalization has begun).
void end_python_visits();

// The lifecycle of one capture object: its worker slot (the handle of the
// thread started last) and whether a worker of it exists. At most one worker
// exists at a time: a start waits, with the interpreter lock released, until
// the previous worker has ended, and of several starts at once exactly one
// launches. The object's `running` flag is set under this lock, so that a
// start waiting for the previous worker sees a start made meanwhile.
class Lifecycle {
 public:
  using Body = std::function<void()>;

  Lifecycle();
  ~Lifecycle();
  Lifecycle(const Lifecycle&) = delete;
  Lifecycle& operator=(const Lifecycle&) = delete;

  // start(): None, or null with an exception set (RuntimeError when no
  // thread could be made, or when called on this object's own worker while
  // its run is ending, which would wait for itself). With `running` set it
  // does nothing. Otherwise it waits until the previous worker has ended;
  // then `prepare` resets what a run starts from and returns the new worker's
  // body (or an empty function with an exception set), `running` is set and
  // the worker is made. `request_stop` is what the exit hook calls. While the
  // exit hook runs, it does nothing.
  PyObject* start(std::atomic<bool>& running, const char* thread_name, const char* spawn_failure,
                  FunctionRef<Body()> prepare, std::function<void()> request_stop);

  // wait(timeout=None): joins the worker, or polls it every 10 ms until
  // `timeout` and then lets it go on unawaited. On the worker's own thread it
  // returns at once and leaves the worker in the slot. Null with an
  // exception set when the time-out cannot become a duration.
  PyObject* wait(PyObject* timeout);

  // What the workers share with the object, which they may outlive.
  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
};

// A method taking one optional `timeout` argument: binds it, then calls `run`
// with the argument (null when left out).
PyObject* timeout_method(const char* display_name, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, FunctionRef<PyObject*(PyObject*)> run);

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
