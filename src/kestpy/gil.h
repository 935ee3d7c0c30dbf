#pragma once
// Attaching the calling thread to the interpreter for a backend call, with a
// per-thread nesting count, and the deferred release of references dropped on
// threads that do not hold the interpreter lock.
#include "kestpy/py_ref.h"

namespace kestpy {

class GilGuard {
 public:
  GilGuard();  // throws kest::Fault when the interpreter is not running
  ~GilGuard();
  GilGuard(const GilGuard&) = delete;
  GilGuard& operator=(const GilGuard&) = delete;

 private:
  bool acquired_ = false;
  PyGILState_STATE state_{};
};

/// Releases `obj` now when this thread holds the interpreter lock, otherwise
/// queues it for the next GilGuard on any thread.
void release_reference(PyObject* obj) noexcept;

/// Releases every queued reference. The caller holds the interpreter lock.
void drain_pending_releases() noexcept;

}  // namespace kestpy
