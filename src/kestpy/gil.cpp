#include "kestpy/gil.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "core/fault.h"

namespace kestpy {

namespace {
thread_local int gil_depth = 0;
std::mutex pending_mutex;
std::vector<PyObject*> pending;
std::atomic<bool> have_pending{false};
}  // namespace

GilGuard::GilGuard() {
  if (gil_depth > 0 || PyGILState_Check()) {
    ++gil_depth;
  } else {
    if (!Py_IsInitialized()) throw kest::Fault("The Python interpreter is not initialized");
    state_ = PyGILState_Ensure();
    acquired_ = true;
    ++gil_depth;
  }
  if (have_pending.load(std::memory_order_acquire)) drain_pending_releases();
}

GilGuard::~GilGuard() {
  --gil_depth;
  // Not held any more only when the interpreter ended this thread while it
  // finalized, and the thread is unwinding: there is nothing to give back.
  if (acquired_ && PyGILState_Check()) PyGILState_Release(state_);
}

void defer_release(PyObject* obj) noexcept {
  std::lock_guard lock(pending_mutex);
  pending.push_back(obj);
  have_pending.store(true, std::memory_order_release);
}

void release_reference(PyObject* obj) noexcept {
  if (!obj) return;
  if (gil_depth > 0 || PyGILState_Check()) {
    Py_DECREF(obj);
    return;
  }
  defer_release(obj);
}

void drain_pending_releases() noexcept {
  std::vector<PyObject*> batch;
  {
    std::lock_guard lock(pending_mutex);
    batch.swap(pending);
    have_pending.store(false, std::memory_order_release);
  }
  for (PyObject* p : batch) Py_DECREF(p);
}

}  // namespace kestpy
