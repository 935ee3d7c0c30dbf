#pragma once
// The one owning handle for PyObject*. Raw reference counting lives here and
// in the tp_dealloc/traverse/clear slots, nowhere else.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace kestpy {

/// Queues a reference for release by the next thread that attaches (gil.cpp).
void defer_release(PyObject* obj) noexcept;

class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  ~PyRef() {
    if (!p_) return;
    // A daemon thread that the interpreter ends while it finalizes unwinds
    // through here without the interpreter lock; its releases must wait.
    if (PyGILState_Check())
      Py_DECREF(p_);
    else
      defer_release(p_);
  }
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  /// Takes over a new reference (may be null).
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  /// Adds a reference to a borrowed pointer (may be null).
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyObject* get() const noexcept { return p_; }
  /// Hands the reference to the caller (for returning to the interpreter).
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  void reset() noexcept { PyRef().swap(*this); }
  void swap(PyRef& o) noexcept { std::swap(p_, o.p_); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace kestpy
