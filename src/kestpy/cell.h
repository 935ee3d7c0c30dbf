#pragma once
// The optimizer cell that a Model shares with every Var and Vars it hands out:
// the bridge optimizer behind a reader-writer lock, with a broken mark. It is
// shared as a small Python object of its own (CellObject) so that the cycle
// collector sees the backend reference inside it exactly once, however many
// handles share it.
//
// A fault that unwinds through a write guard marks the cell broken; from then
// on every guard on it fails with a fault. An interrupt or a failed allocation
// that the bridge caught is no fault: the cache stays whole (the change kept,
// or undone to the guard's mark when memory ran out) and the model usable.
// Waiting for the lock answers Ctrl-C: the wait wakes every few hundredths of
// a second to run the interpreter's signal handlers. Waiting for the lock releases the
// interpreter lock, so a backend that lets go of it during a long solve cannot
// deadlock another thread; the owning thread re-entering is refused instead.
#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "bridge/bridge_optimizer.h"
#include "kestpy/errors.h"
#include "kestpy/model_tag.h"
#include "kestpy/py_ref.h"

namespace kestpy {

// After fork() the child has only the forking thread: a lock another thread
// held is reset there; a model that was being changed then is refused with a
// RuntimeError (its change was cut off half way), every other model works.
struct OptimizerCell {
  OptimizerCell();  // known to the fork handler for its lifetime
  ~OptimizerCell();
  OptimizerCell(const OptimizerCell&) = delete;
  OptimizerCell& operator=(const OptimizerCell&) = delete;

  kest::BridgeOptimizer bridge;
  std::shared_timed_mutex mutex;
  // A writer that has to wait holds the gate, so readers arriving after it
  // queue behind it instead of overlapping for ever and starving it.
  std::timed_mutex gate;
  std::atomic<bool> broken{false};
  std::atomic<bool> forked_mid_change{false};  // in a child: another thread was changing it at fork()
  std::atomic<std::thread::id> writer{};  // the thread holding the write side, if any
};

struct CellObject {
  PyObject_HEAD
  std::unique_ptr<OptimizerCell> cell;  // null once the collector has cleared it
  ModelTag tag;                          // the model's, in every Var, LinExpr and Constr of it
};

/// A new CellObject holding an empty cell for the model `name` (throws
/// PyErrSet on failure).
PyRef new_cell_object(std::string_view name);
/// The tag of a CellObject, or kNoModel for null.
inline ModelTag cell_tag(PyObject* cell_object) {
  return cell_object ? reinterpret_cast<CellObject*>(cell_object)->tag : kNoModel;
}
/// The cell behind a CellObject; a fault when the collector has cleared it
/// (it is then only reachable again through a finaliser that resurrected it).
OptimizerCell& cell_of(PyObject* cell_object);

[[noreturn]] void raise_broken();

class WriteGuard {
 public:
  explicit WriteGuard(OptimizerCell& cell);
  ~WriteGuard();
  WriteGuard(const WriteGuard&) = delete;
  WriteGuard& operator=(const WriteGuard&) = delete;
  kest::BridgeOptimizer* operator->() { return &cell_.bridge; }
  kest::BridgeOptimizer& bridge() { return cell_.bridge; }

 private:
  OptimizerCell& cell_;
  int uncaught_;
  kest::BridgeOptimizer::Mark mark_;
};

class ReadGuard {
 public:
  explicit ReadGuard(OptimizerCell& cell);
  ~ReadGuard();
  ReadGuard(const ReadGuard&) = delete;
  ReadGuard& operator=(const ReadGuard&) = delete;
  kest::BridgeOptimizer* operator->() { return &cell_.bridge; }

 private:
  OptimizerCell& cell_;
};

}  // namespace kestpy
