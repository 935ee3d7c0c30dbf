#include "kestpy/cell.h"

#include <exception>

namespace kestpy {

void raise_broken() {
  throw kest::Fault(
      "The model's optimizer is unusable: an earlier operation failed while it held the optimizer lock");
}

static void refuse_reentry(OptimizerCell& cell) {
  if (cell.writer.load(std::memory_order_acquire) == std::this_thread::get_id())
    raise(PyExc_RuntimeError,
          "The model is being changed by this thread (a backend method is running under its lock); "
          "it cannot be used from inside that call");
}

WriteGuard::WriteGuard(OptimizerCell& cell) : cell_(cell) {
  refuse_reentry(cell);
  if (!cell.mutex.try_lock()) {
    Py_BEGIN_ALLOW_THREADS cell.mutex.lock();
    Py_END_ALLOW_THREADS
  }
  if (cell.broken.load(std::memory_order_acquire)) {
    cell.mutex.unlock();
    raise_broken();
  }
  cell.writer.store(std::this_thread::get_id(), std::memory_order_release);
  uncaught_ = std::uncaught_exceptions();
}

WriteGuard::~WriteGuard() {
  // Leaving by an exception means a fault interrupted a change half way: the
  // cache and the backend may disagree, so the cell is poisoned for good.
  if (std::uncaught_exceptions() > uncaught_) cell_.broken.store(true, std::memory_order_release);
  cell_.writer.store(std::thread::id{}, std::memory_order_release);
  cell_.mutex.unlock();
}

ReadGuard::ReadGuard(OptimizerCell& cell) : cell_(cell) {
  refuse_reentry(cell);
  if (!cell.mutex.try_lock_shared()) {
    Py_BEGIN_ALLOW_THREADS cell.mutex.lock_shared();
    Py_END_ALLOW_THREADS
  }
  if (cell.broken.load(std::memory_order_acquire)) {
    cell.mutex.unlock_shared();
    raise_broken();
  }
}

}  // namespace kestpy
