#include "module/capture_support.h"

#include <array>
#include <chrono>
#include <thread>
#include <vector>

#include "module/args.h"
#include "module/panic.h"
#include "platform/errors.h"
#include "platform/kernel.h"
#include "util/no_destructor.h"

namespace vorel::py {

thread_local bool t_worker_thread = false;

namespace {

// Everything below is touched by worker threads, which may outlive the
// interpreter and the static destructors of an exiting process: none of it
// is ever destroyed.

// ---- deferred releases -------------------------------------------------------

struct Deferred {
  std::mutex mutex;
  std::vector<PyObject*> objects;
  // Where a release goes when even queueing it fails for want of memory; a
  // release that does not fit here either is dropped (a leak, never a crash).
  std::array<PyObject*, 64> overflow{};
  size_t overflow_count = 0;
};
NoDestructor<Deferred> g_deferred;
std::atomic<bool> g_deferred_pending{false};

// ---- interpreter exit ----------------------------------------------------------

struct ExitEntry {
  std::function<void()> request_stop;
  std::shared_ptr<std::atomic<bool>> finished;
};

struct ExitState {
  std::mutex mutex;
  std::condition_variable cv;
  bool hook_running = false;  // the atexit hook is stopping every capture
  int in_python = 0;          // workers inside (or entering) a PythonSection
  bool hook_installed = false;
  std::vector<ExitEntry> entries;
};
NoDestructor<ExitState> g_exit;

// How often a wait on a thread that owns windows answers the messages sent
// to them (see platform::must_answer_sent_messages).
constexpr auto kAnswerSlice = std::chrono::milliseconds(5);

// How long the exit hook waits for workers: long enough to finish a file,
// short enough never to hang an exiting process on a stuck stream.
constexpr auto kExitGrace = std::chrono::seconds(5);

void prune_finished_locked() {
  std::erase_if(g_exit->entries, [](const ExitEntry& e) { return e.finished->load(); });
}

// Runs from atexit, before the interpreter begins to finalize, with the
// interpreter lock held and other threads still running. It may also run
// early (atexit._run_exitfuncs()): then captures started afterwards work as
// before and are stopped at the real exit, since atexit forgets a callback
// once it has run it and the next start registers the hook again.
PyObject* on_interpreter_exit(PyObject*, PyObject*) {
  {
    std::lock_guard<std::mutex> lock(g_exit->mutex);
    g_exit->hook_running = true;
  }
  Py_BEGIN_ALLOW_THREADS
  const bool answer = platform::must_answer_sent_messages();
  const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(g_exit->mutex);
      // A capture registered meanwhile is asked to stop as well.
      for (const ExitEntry& e : g_exit->entries) e.request_stop();
      prune_finished_locked();
      if (g_exit->entries.empty() && g_exit->in_python == 0) break;
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) break;
      g_exit->cv.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(2)));
    }
    if (answer) platform::answer_sent_messages();
  }
  Py_END_ALLOW_THREADS
  // What the workers let go, the streams among them: a stream closed here
  // still writes out what it buffered.
  drain_deferred();
  std::lock_guard<std::mutex> lock2(g_exit->mutex);
  g_exit->hook_running = false;
  g_exit->hook_installed = false;
  Py_RETURN_NONE;
}

PyMethodDef g_exit_hook_def = {"_vorel_exit_hook", on_interpreter_exit, METH_NOARGS, nullptr};

bool install_exit_hook() {
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  if (!atexit) return false;
  Ref hook = Ref::steal(PyCFunction_New(&g_exit_hook_def, nullptr));
  if (!hook) return false;
  Ref result = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  return static_cast<bool>(result);
}

bool exit_hook_running() {
  std::lock_guard<std::mutex> lock(g_exit->mutex);
  return g_exit->hook_running;
}

// Registers a running worker with the exit hook, installing the hook when it
// is not (or no longer) registered. With the interpreter lock held.
void register_for_exit(std::function<void()> request_stop,
                       std::shared_ptr<std::atomic<bool>> finished) {
  bool install = false;
  {
    std::lock_guard<std::mutex> lock(g_exit->mutex);
    prune_finished_locked();
    g_exit->entries.push_back({std::move(request_stop), std::move(finished)});
    // Started while the hook stops everything: asked to stop at once.
    if (g_exit->hook_running) g_exit->entries.back().request_stop();
    install = !g_exit->hook_installed && !g_exit->hook_running;
    g_exit->hook_installed = g_exit->hook_installed || install;
  }
  if (install && !install_exit_hook()) {
    // The worker runs; only the hook could not be installed.
    PyErr_Clear();
    std::lock_guard<std::mutex> lock(g_exit->mutex);
    g_exit->hook_installed = false;
  }
}

// ---- the gate -------------------------------------------------------------------

// The worker's own thread state, kept between its visits to Python.
thread_local PyThreadState* t_thread_state = nullptr;

// Lets a worker in unless the interpreter is exiting. While the exit hook
// runs, a worker may still come in to clean up after itself (the hook waits
// for that), but not to hand over frames.
bool open_gate(bool to_clean_up) {
  std::lock_guard<std::mutex> lock(g_exit->mutex);
  if (Py_IsFinalizing() || (g_exit->hook_running && !to_clean_up)) return false;
  ++g_exit->in_python;
  return true;
}

void close_gate() {
  std::lock_guard<std::mutex> lock(g_exit->mutex);
  --g_exit->in_python;
  g_exit->cv.notify_all();
}

}  // namespace

void defer_decref(PyObject* object) noexcept {
  if (object == nullptr) return;
  std::lock_guard<std::mutex> lock(g_deferred->mutex);
  try {
    g_deferred->objects.push_back(object);
  } catch (const std::bad_alloc&) {
    if (g_deferred->overflow_count < g_deferred->overflow.size()) {
      g_deferred->overflow[g_deferred->overflow_count++] = object;
    }
  }
  g_deferred_pending.store(true);
}

void drain_deferred() {
  if (!g_deferred_pending.load()) return;
  std::vector<PyObject*> batch;
  std::array<PyObject*, 64> overflow{};
  size_t overflow_count = 0;
  {
    std::lock_guard<std::mutex> lock(g_deferred->mutex);
    batch.swap(g_deferred->objects);
    overflow_count = std::exchange(g_deferred->overflow_count, 0);
    overflow = g_deferred->overflow;
    g_deferred_pending.store(false);
  }
  // A release can run arbitrary Python code, which may queue more.
  for (PyObject* o : batch) Py_DECREF(o);
  for (size_t i = 0; i < overflow_count; ++i) Py_DECREF(overflow[i]);
  // The storage goes back, so that queueing seldom needs to allocate.
  batch.clear();
  std::lock_guard<std::mutex> lock(g_deferred->mutex);
  if (g_deferred->objects.empty()) g_deferred->objects.swap(batch);
}

PythonSection::PythonSection() {
  if (!open_gate(false)) return;
  if (t_thread_state == nullptr) {
    // The first visit makes the thread state and takes the lock with it.
    (void)PyGILState_Ensure();
  } else {
    PyEval_RestoreThread(t_thread_state);
  }
  entered_ = true;
  drain_deferred();
}

PythonSection::~PythonSection() {
  if (!entered_) return;
  // Reached without the lock only when finalization ended this thread inside
  // the visit: then nothing of Python is touched any more.
  if (!Py_IsFinalizing()) t_thread_state = PyEval_SaveThread();
  close_gate();
}

void end_python_visits() {
  const bool has_state = t_thread_state != nullptr;
  if (!has_state && !g_deferred_pending.load()) return;
  if (!open_gate(true)) return;  // finalizing: the interpreter cleans up
  if (has_state) {
    PyEval_RestoreThread(t_thread_state);
    t_thread_state = nullptr;
  } else {
    (void)PyGILState_Ensure();  // a worker that never visited Python
  }
  drain_deferred();  // what the worker gave up, the stream among it
  // Balances the first visit's PyGILState_Ensure: deletes the thread state
  // and gives up the lock.
  PyGILState_Release(PyGILState_UNLOCKED);
  close_gate();
}

// ---- lifecycle ----------------------------------------------------------------

namespace {

// One worker thread that several callers may join: the first does, the
// others wait until it has.
class JoinableThread {
 public:
  explicit JoinableThread(WorkerThread thread) : thread_(std::move(thread)) {}
  bool finished() const { return thread_.finished(); }
  // Blocks; the interpreter lock must not be held. A thread that owns
  // windows keeps answering what is sent to them until the thread's body
  // has returned (nothing is locked meanwhile: an answer may run code that
  // waits here again).
  void join() {
    if (platform::must_answer_sent_messages()) {
      while (!finished()) {
        platform::answer_sent_messages();
        std::this_thread::sleep_for(kAnswerSlice);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    thread_.join();
  }

 private:
  std::mutex mutex_;
  WorkerThread thread_;
};

}  // namespace

struct Lifecycle::Shared {
  std::mutex mutex;
  std::condition_variable changed;
  bool worker_exists = false;  // launched and not yet ended, or being launched
  // The handle wait() takes out: the thread started last, until waited for.
  std::shared_ptr<JoinableThread> slot;
  // The thread started last, waited for or not: the next start joins it, so
  // that no thread of an earlier run is still winding down when it begins.
  std::shared_ptr<JoinableThread> last;
};

namespace {

// The lifecycle whose worker runs on this thread, if any.
thread_local const Lifecycle::Shared* t_own_lifecycle = nullptr;

// Marks the worker's run ended when its body is left, by return or by
// unwinding.
struct RunEnds {
  std::shared_ptr<Lifecycle::Shared> shared;
  ~RunEnds() {
    {
      std::lock_guard<std::mutex> lock(shared->mutex);
      shared->worker_exists = false;
    }
    shared->changed.notify_all();
  }
};

enum class Turn { kRunning, kOurs, kOwnWorker };

// Waits, with the interpreter lock released, until no worker of the object
// exists (then the turn is taken) or a start made meanwhile has set
// `running`. On the object's own worker there is nothing to wait for.
Turn take_turn(Lifecycle::Shared& s, std::atomic<bool>& running) {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      if (running.load()) return Turn::kRunning;
      if (!s.worker_exists) {
        s.worker_exists = true;
        return Turn::kOurs;
      }
      if (t_own_lifecycle == &s) return Turn::kOwnWorker;
    }
    Py_BEGIN_ALLOW_THREADS
    const auto turn_may_come = [&] { return running.load() || !s.worker_exists; };
    if (platform::must_answer_sent_messages()) {
      for (;;) {
        {
          std::unique_lock<std::mutex> lock(s.mutex);
          if (s.changed.wait_for(lock, kAnswerSlice, turn_may_come)) break;
        }
        platform::answer_sent_messages();
      }
    } else {
      std::unique_lock<std::mutex> lock(s.mutex);
      s.changed.wait(lock, turn_may_come);
    }  // the mutex is given back before the interpreter lock is taken again
    Py_END_ALLOW_THREADS
  }
}

void give_up_turn(Lifecycle::Shared& s) {
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.worker_exists = false;
  }
  s.changed.notify_all();
}

// Joins the thread of the previous run, whose body has ended: this takes only
// as long as the thread needs to exit.
void join_previous(Lifecycle::Shared& s) {
  std::shared_ptr<JoinableThread> previous;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    previous = s.last;
  }
  if (!previous) return;
  Py_BEGIN_ALLOW_THREADS
  previous->join();
  Py_END_ALLOW_THREADS
}

}  // namespace

Lifecycle::Lifecycle() : shared_(std::make_shared<Shared>()) {}
Lifecycle::~Lifecycle() = default;

PyObject* Lifecycle::start(std::atomic<bool>& running, const char* thread_name,
                           const char* spawn_failure, FunctionRef<Body()> prepare,
                           std::function<void()> request_stop) {
  Shared& s = *shared_;
  if (exit_hook_running()) Py_RETURN_NONE;
  switch (take_turn(s, running)) {
    case Turn::kRunning:
      Py_RETURN_NONE;
    case Turn::kOwnWorker:
      PyErr_SetString(PyExc_RuntimeError,
                      "start() cannot be called on the capture's own worker (from the stream's "
                      "write or wait_ready) while its run is ending: it would wait for itself");
      return nullptr;
    case Turn::kOurs:
      break;
  }
  bool launched = false;
  try {
    join_previous(s);
    Body body = prepare();
    if (!body) {
      give_up_turn(s);
      return nullptr;
    }
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      running.store(true);
    }
    s.changed.notify_all();
    auto spawned = WorkerThread::spawn(thread_name, [shared = shared_, body = std::move(body)]() {
      t_worker_thread = true;
      t_own_lifecycle = shared.get();
      RunEnds ends{shared};
      body();
    });
    if (!spawned) {
      give_up_turn(s);
      drain_deferred();  // what the body held is released with the lock
      const std::string text = spawn_failure + platform::render(spawned.error());
      PyErr_SetString(PyExc_RuntimeError, text.c_str());
      return nullptr;
    }
    launched = true;
    std::shared_ptr<std::atomic<bool>> finished = spawned->finished_flag();
    auto thread = std::make_shared<JoinableThread>(std::move(spawned).value());
    {
      std::lock_guard<std::mutex> lock(s.mutex);
      s.slot = thread;  // a handle still there is let go, unjoined
      s.last = std::move(thread);
    }
    register_for_exit(std::move(request_stop), std::move(finished));
  } catch (const std::bad_alloc&) {
    // Before the worker was made nothing runs; after, it runs and only the
    // exit hook (or, worse, a wait()) does not know of it.
    if (!launched) {
      give_up_turn(s);
      return PyErr_NoMemory();
    }
  }
  Py_RETURN_NONE;
}

PyObject* Lifecycle::wait(PyObject* timeout) {
  std::optional<double> seconds;
  if (!to_optional(timeout, "timeout", seconds, to_double)) return nullptr;
  Shared& s = *shared_;
  // A worker cannot wait for itself: its run ends once the stream's call
  // returns, and a wait() from another thread still finds it in the slot.
  if (t_own_lifecycle == &s) Py_RETURN_NONE;
  std::shared_ptr<JoinableThread> thread;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    thread = std::exchange(s.slot, nullptr);
  }
  if (!thread) Py_RETURN_NONE;
  if (!seconds) {
    Py_BEGIN_ALLOW_THREADS
    thread->join();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
  }
  // A time-out that cannot become a duration lets the worker go unawaited.
  auto limit = duration_from_secs(*seconds);
  if (!limit) return raise_panic(limit.error().text);
  Py_BEGIN_ALLOW_THREADS
  const bool answer = platform::must_answer_sent_messages();
  const auto start = std::chrono::steady_clock::now();
  const auto limit_ns = limit->to_chrono_saturated();
  for (;;) {
    if (thread->finished()) {
      thread->join();
      break;
    }
    if (std::chrono::steady_clock::now() - start >= limit_ns) break;  // let go, unawaited
    if (answer) platform::answer_sent_messages();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
}

PyObject* timeout_method(const char* display_name, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames, FunctionRef<PyObject*(PyObject*)> run) {
  static constexpr Param kTimeout[] = {{"timeout", false, false}};
  drain_deferred();
  Bound bound;
  if (!bind(Signature{display_name, kTimeout}, args, nargs, kwnames, bound)) return nullptr;
  PyObject* result = run(bound[0]);
  drain_deferred();
  return result;
}

PyObject* wait_milestone(Milestone& milestone, PyObject* timeout_or_null, double default_timeout) {
  double seconds = default_timeout;
  if (timeout_or_null != nullptr && !to_double(timeout_or_null, "timeout", seconds)) {
    return nullptr;
  }
  auto limit = duration_from_secs(seconds);
  if (!limit) return raise_panic(limit.error().text);
  bool reached = false;
  Py_BEGIN_ALLOW_THREADS
  reached = milestone.wait(*limit);
  Py_END_ALLOW_THREADS
  return PyBool_FromLong(reached ? 1 : 0);
}

PyObject* error_text(const Guarded<std::optional<std::string>>& error) {
  std::optional<std::string> text = error.get();
  if (!text) Py_RETURN_NONE;
  return new_str(*text);
}

std::string exception_text(PyObject* exception) {
  std::string text;
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(exception)));
  const char* name = qualname ? PyUnicode_AsUTF8(qualname.get()) : nullptr;
  if (name == nullptr) {
    PyErr_Clear();
    name = Py_TYPE(exception)->tp_name;
  }
  text = name;
  text += ": ";
  Ref str = Ref::steal(PyObject_Str(exception));
  const char* utf8 = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
  if (utf8 == nullptr) {
    PyErr_Clear();
    text += "<exception str() failed>";
  } else {
    text += utf8;
  }
  return text;
}

}  // namespace vorel::py
