#pragma once
// A bounded stack of freed instances of one class, kept for the next
// instance instead of going back to the allocator. A model built term by term
// makes and frees a Var, a LinExpr and a Constr for nearly every nonzero; with
// this each of them costs neither an allocation nor, for the GC-tracked Var,
// the collector's bookkeeping of a new object, and a recycled LinExpr or
// Constr keeps the storage of its terms. Used only with the interpreter lock
// held.
#include <cstddef>

#include "kestpy/py_ref.h"

namespace kestpy {

template <class Object, std::size_t Capacity = 256>
class FreeList {
 public:
  /// A freed instance made a live object of `type` (reference count 1, not
  /// tracked by the collector), or null when there is none.
  Object* take(PyTypeObject* type) noexcept {
    if (count_ == 0) return nullptr;
    Object* o = slots_[--count_];
    PyObject_Init(reinterpret_cast<PyObject*>(o), type);
    return o;
  }
  /// Keeps a dead instance (its fields left for the next take); false when full.
  bool give(Object* o) noexcept {
    if (count_ == Capacity) return false;
    slots_[count_++] = o;
    return true;
  }

 private:
  Object* slots_[Capacity];
  std::size_t count_ = 0;
};

}  // namespace kestpy
