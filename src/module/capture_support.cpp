#include "module/capture_support.h"

#include <chrono>
#include <thread>
#include <vector>

#include "module/args.h"
#include "module/panic.h"
#include "util/no_destructor.h"

namespace vorel::py {
namespace {

// Everything below is touched by worker threads, which may outlive the
// interpreter and the static destructors of an exiting process: none of it
// is ever destroyed.

// ---- deferred releases -------------------------------------------------------

struct Deferred {
  std::mutex mutex;
  std::vector<PyObject*> objects;
};
NoDestructor<Deferred> g_deferred;
std::atomic<bool> g_deferred_pending{false};

// ---- interpreter exit ----------------------------------------------------------

struct ExitEntry {
  std::function<void()> request_stop;
  std::shared_ptr<std::atomic<bool>> finished;
  bool join_at_exit;
};

struct ExitState {
  std::mutex mutex;
  std::condition_variable cv;
  bool exiting = false;  // set once, by the exit hook
  int in_python = 0;     // workers inside (or entering) a PythonSection
  bool hook_installed = false;
  std::vector<ExitEntry> entries;
};
NoDestructor<ExitState> g_exit;

// How long the exit hook waits for workers: long enough to finish a file,
// short enough never to hang an exiting process on a stuck stream.
constexpr auto kExitGrace = std::chrono::seconds(5);

void prune_finished_locked() {
  std::erase_if(g_exit->entries, [](const ExitEntry& e) { return e.finished->load(); });
}

// Runs from atexit, before the interpreter begins to finalize, with the
// interpreter lock held and other threads still running.
PyObject* on_interpreter_exit(PyObject*, PyObject*) {
  std::vector<ExitEntry> entries;
  {
    std::lock_guard<std::mutex> lock(g_exit->mutex);
    g_exit->exiting = true;
    prune_finished_locked();
    entries = g_exit->entries;
  }
  for (const ExitEntry& e : entries) e.request_stop();
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + kExitGrace;
  {
    // Workers already in Python finish their call; no new one gets in.
    std::unique_lock<std::mutex> lock(g_exit->mutex);
    g_exit->cv.wait_until(lock, deadline, [] { return g_exit->in_python == 0; });
  }
  for (const ExitEntry& e : entries) {
    if (!e.join_at_exit) continue;
    while (!e.finished->load() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  Py_END_ALLOW_THREADS
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

}  // namespace

void defer_decref(PyObject* object) {
  if (object == nullptr) return;
  std::lock_guard<std::mutex> lock(g_deferred->mutex);
  g_deferred->objects.push_back(object);
  g_deferred_pending.store(true);
}

void drain_deferred() {
  if (!g_deferred_pending.load()) return;
  std::vector<PyObject*> objects;
  {
    std::lock_guard<std::mutex> lock(g_deferred->mutex);
    objects.swap(g_deferred->objects);
    g_deferred_pending.store(false);
  }
  // A release can run arbitrary Python code, which may queue more.
  for (PyObject* o : objects) Py_DECREF(o);
}

namespace {

// The worker's own thread state, kept between its visits to Python.
thread_local PyThreadState* t_thread_state = nullptr;

// Lets a worker in unless the interpreter has begun to exit.
bool open_gate() {
  std::lock_guard<std::mutex> lock(g_exit->mutex);
  if (g_exit->exiting || Py_IsFinalizing()) return false;
  ++g_exit->in_python;
  return true;
}

void close_gate() {
  std::lock_guard<std::mutex> lock(g_exit->mutex);
  --g_exit->in_python;
  g_exit->cv.notify_all();
}

}  // namespace

PythonSection::PythonSection() {
  if (!open_gate()) return;
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
  // The lock is given up; the thread state stays for the next visit.
  t_thread_state = PyEval_SaveThread();
  close_gate();
}

void end_python_visits() {
  if (t_thread_state == nullptr || !open_gate()) return;
  PyEval_RestoreThread(t_thread_state);
  t_thread_state = nullptr;
  drain_deferred();  // what the worker gave up, the stream among it
  // Balances the first visit's PyGILState_Ensure: deletes the thread state
  // and gives up the lock.
  PyGILState_Release(PyGILState_UNLOCKED);
  close_gate();
}

void LiveWorkers::begin() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++count_;
}

void LiveWorkers::end() {
  std::lock_guard<std::mutex> lock(mutex_);
  --count_;
  cv_.notify_all();
}

void LiveWorkers::wait_idle() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count_ == 0) return;
  }
  Py_BEGIN_ALLOW_THREADS
  std::unique_lock<std::mutex> lock(mutex_);
  cv_.wait(lock, [this] { return count_ == 0; });
  Py_END_ALLOW_THREADS
}

bool register_for_exit(std::function<void()> request_stop,
                       std::shared_ptr<std::atomic<bool>> finished, bool join_at_exit) {
  bool install = false;
  {
    std::lock_guard<std::mutex> lock(g_exit->mutex);
    prune_finished_locked();
    g_exit->entries.push_back({std::move(request_stop), std::move(finished), join_at_exit});
    install = !g_exit->hook_installed;
    g_exit->hook_installed = true;
  }
  if (install && !install_exit_hook()) {
    std::lock_guard<std::mutex> lock(g_exit->mutex);
    g_exit->hook_installed = false;
    return false;
  }
  return true;
}

void WorkerSlot::store(WorkerThread thread) {
  std::lock_guard<std::mutex> lock(mutex_);
  thread_ = std::move(thread);  // an older handle is let go, unjoined
}

std::optional<WorkerThread> WorkerSlot::take() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::exchange(thread_, std::nullopt);
}

PyObject* launch_worker(WorkerControl& control, const char* name, const char* spawn_failure,
                        std::function<void()> request_stop, std::function<void()> body) {
  std::shared_ptr<LiveWorkers> live = control.live;
  live->begin();
  auto spawned = WorkerThread::spawn(name, [live, body = std::move(body)]() {
    body();
    live->end();
  });
  if (!spawned) {
    live->end();
    drain_deferred();  // what the body held is released with the lock
    PyErr_SetString(PyExc_RuntimeError, (spawn_failure + spawned.error().render()).c_str());
    return nullptr;
  }
  if (!register_for_exit(std::move(request_stop), spawned->finished_flag(), true)) {
    // The worker runs; only the exit hook could not be installed.
    PyErr_Clear();
  }
  control.slot.store(std::move(spawned).value());
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

PyObject* wait_for_worker(WorkerSlot& slot, PyObject* timeout) {
  std::optional<double> seconds;
  if (!to_optional(timeout, "timeout", seconds, to_double)) return nullptr;
  std::optional<WorkerThread> thread = slot.take();
  if (!thread) Py_RETURN_NONE;
  if (!seconds) {
    Py_BEGIN_ALLOW_THREADS
    thread->join();
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
  }
  auto limit = duration_from_secs(*seconds);
  if (!limit) return raise_panic(limit.error().text);  // the handle is let go
  Py_BEGIN_ALLOW_THREADS
  const auto start = std::chrono::steady_clock::now();
  const auto limit_ns = limit->to_chrono_saturated();
  for (;;) {
    if (thread->finished()) {
      thread->join();
      break;
    }
    if (std::chrono::steady_clock::now() - start >= limit_ns) {
      thread->detach();
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Py_END_ALLOW_THREADS
  Py_RETURN_NONE;
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
