#include "kestpy/cell.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "kestpy/py_backend.h"

namespace kestpy {

namespace {
// Cells whose read side this thread holds. A backend method running under a
// read (Var.X, ObjVal) that reaches the same model again would otherwise wait
// for ever on a lock its own thread holds, or lock the read side twice.
thread_local std::vector<const OptimizerCell*> reading;
}  // namespace

namespace {

// Every live cell, for the child's fork handler. The handler's prepare step
// holds the mutex across fork(), so the child never inherits it locked.
std::mutex registry_mutex;
std::vector<OptimizerCell*>& registry() {
  static auto* cells = new std::vector<OptimizerCell*>();  // never destroyed: the handler may run at exit
  return *cells;
}

void before_fork() { registry_mutex.lock(); }
void after_fork_in_parent() { registry_mutex.unlock(); }

void after_fork_in_child() {
  // Only this thread exists now. A lock held by another thread stays held for
  // ever: make it anew. The mutex objects are rebuilt in place, not destroyed,
  // as destroying a held one is undefined.
  for (OptimizerCell* c : registry()) {
    // A fork from inside a backend method: the lock is this thread's own.
    if (c->writer.load() == std::this_thread::get_id() ||
        std::find(reading.begin(), reading.end(), c) != reading.end())
      continue;
    if (c->mutex.try_lock()) {
      c->mutex.unlock();
    } else {
      if (!c->mutex.try_lock_shared()) c->forked_mid_change.store(true);  // a writer, not readers
      new (&c->mutex) std::shared_timed_mutex();
      c->writer.store(std::thread::id{});
    }
    if (c->gate.try_lock()) {
      c->gate.unlock();
    } else {
      new (&c->gate) std::timed_mutex();
    }
  }
  registry_mutex.unlock();
}

void refuse_if_forked_mid_change(OptimizerCell& cell) {
  if (cell.forked_mid_change.load(std::memory_order_acquire))
    raise(PyExc_RuntimeError,
          "This model was being changed by another thread when the process forked; the child cannot use it "
          "(build the model again in the child)");
}

}  // namespace

OptimizerCell::OptimizerCell() {
  static const bool handlers = (pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child), true);
  (void)handlers;
  std::lock_guard hold(registry_mutex);
  registry().push_back(this);
}

OptimizerCell::~OptimizerCell() {
  std::lock_guard hold(registry_mutex);
  auto& cells = registry();
  cells.erase(std::find(cells.begin(), cells.end(), this));
}

void raise_broken() {
  throw kest::Fault(
      "The model's optimizer is unusable: an earlier operation failed while it held the optimizer lock");
}

static void refuse_reentry(OptimizerCell& cell) {
  if (cell.writer.load(std::memory_order_acquire) == std::this_thread::get_id())
    raise(PyExc_RuntimeError,
          "The model is being changed by this thread (a backend method is running under its lock); "
          "it cannot be used from inside that call");
  if (std::find(reading.begin(), reading.end(), &cell) != reading.end())
    raise(PyExc_RuntimeError,
          "The model is being read by this thread (a backend method is running under its lock); "
          "it cannot be used from inside that call");
}

namespace {
// How long a lock wait runs without looking at pending signals.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

/// Runs the signal handlers between two waits; a KeyboardInterrupt (or any
/// error a handler raises) ends the wait as that Python error.
void answer_signals() {
  if (PyErr_CheckSignals() < 0) throw PyErrSet{};
}
}  // namespace

WriteGuard::WriteGuard(OptimizerCell& cell) : cell_(cell) {
  refuse_reentry(cell);
  if (!cell.mutex.try_lock()) {
    // Regaining the interpreter lock may end this thread by unwinding (at
    // finalization): the model's lock must not stay held then.
    std::unique_lock held(cell.mutex, std::defer_lock);
    std::unique_lock queue(cell.gate, std::defer_lock);
    for (;;) {
      bool got = false;
      Py_BEGIN_ALLOW_THREADS {
        if (queue.owns_lock() || queue.try_lock_for(kSignalPoll)) got = held.try_lock_for(kSignalPoll);
      }
      Py_END_ALLOW_THREADS
      if (got) break;
      answer_signals();
    }
    held.release();
  }
  if (cell.broken.load(std::memory_order_acquire) || cell.forked_mid_change.load(std::memory_order_acquire)) {
    cell.mutex.unlock();
    refuse_if_forked_mid_change(cell);
    raise_broken();
  }
  cell.writer.store(std::this_thread::get_id(), std::memory_order_release);
  uncaught_ = std::uncaught_exceptions();
  (void)cell.bridge.take_cut_short();
  mark_ = cell.bridge.mark();
}

WriteGuard::~WriteGuard() {
  // Leaving by an exception the bridge did not settle means a fault
  // interrupted a change half way: the cache and the backend may disagree, so
  // the cell is poisoned for good.
  if (std::uncaught_exceptions() > uncaught_) {
    const auto cut = cell_.bridge.take_cut_short();
    if (!cut) {
      cell_.broken.store(true, std::memory_order_release);
    } else if (*cut == kest::CutShort::Reason::OutOfMemory) {
      cell_.bridge.roll_back(mark_);
    }
  }
  cell_.writer.store(std::thread::id{}, std::memory_order_release);
  cell_.mutex.unlock();
}

ReadGuard::ReadGuard(OptimizerCell& cell) : cell_(cell) {
  refuse_reentry(cell);
  reading.reserve(reading.size() + 1);  // so that recording the hold below cannot throw
  // The fast path only when no writer waits at the gate.
  bool got = false;
  if (cell.gate.try_lock()) {
    cell.gate.unlock();
    got = cell.mutex.try_lock_shared();
  }
  if (!got) {
    std::shared_lock held(cell.mutex, std::defer_lock);
    for (;;) {
      Py_BEGIN_ALLOW_THREADS {
        if (cell.gate.try_lock_for(kSignalPoll)) {
          cell.gate.unlock();
          got = held.try_lock_for(kSignalPoll);
        }
      }
      Py_END_ALLOW_THREADS
      if (got) break;
      answer_signals();
    }
    held.release();
  }
  if (cell.broken.load(std::memory_order_acquire) || cell.forked_mid_change.load(std::memory_order_acquire)) {
    cell.mutex.unlock_shared();
    refuse_if_forked_mid_change(cell);
    raise_broken();
  }
  reading.push_back(&cell);
}

ReadGuard::~ReadGuard() {
  reading.erase(std::find(reading.begin(), reading.end(), &cell_));
  cell_.mutex.unlock_shared();
}

// ---- CellObject --------------------------------------------------------------

namespace {

/// The adapter's reference to the backend object, if the cell drives one.
PyObject* adapter_object(const CellObject* c) {
  if (!c->cell) return nullptr;
  const auto* adapter = dynamic_cast<const PyBackend*>(c->cell->bridge.backend());
  return adapter ? adapter->object() : nullptr;
}

int cell_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(adapter_object(reinterpret_cast<CellObject*>(self)));
  return 0;
}

int cell_clear(PyObject* self) {
  auto* c = reinterpret_cast<CellObject*>(self);
  // Dropping the cell drops the adapter and with it its reference.
  if (adapter_object(c)) c->cell.reset();
  return 0;
}

void cell_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  forget_model(reinterpret_cast<CellObject*>(self)->tag);
  reinterpret_cast<CellObject*>(self)->cell.~unique_ptr();  // may release the backend
  PyObject_GC_Del(self);
}

PyTypeObject CellType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.OptimizerCell";
  t.tp_basicsize = sizeof(CellObject);
  t.tp_dealloc = cell_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_traverse = cell_traverse;
  t.tp_clear = cell_clear;
  return t;
}();

}  // namespace

PyRef new_cell_object(std::string_view name) {
  if (!CellType_.tp_dict) check_status(PyType_Ready(&CellType_));
  auto cell = std::make_unique<OptimizerCell>();
  auto* c = PyObject_GC_New(CellObject, &CellType_);
  if (!c) throw PyErrSet{};
  new (&c->cell) std::unique_ptr<OptimizerCell>(std::move(cell));
  try {
    c->tag = register_model(name);
  } catch (...) {
    c->tag = kNoModel;
    Py_DECREF(c);
    throw;
  }
  PyObject_GC_Track(c);
  return PyRef::steal(reinterpret_cast<PyObject*>(c));
}

OptimizerCell& cell_of(PyObject* cell_object) {
  auto& cell = reinterpret_cast<CellObject*>(cell_object)->cell;
  if (!cell) throw kest::Fault("The model was cleared by the garbage collector");
  return *cell;
}

}  // namespace kestpy
