#pragma once
// The arithmetic of Var and LinExpr. LinExpr and Constr live in expr.cpp; the
// Var type (var.cpp) plugs these slot functions into its own type object.
#include "kestpy/py_ref.h"

namespace kestpy {

/// nb_add / nb_subtract / nb_multiply of Var. The interpreter passes the
/// operands in source order; one of them is a Var.
PyObject* var_add(PyObject* a, PyObject* b) noexcept;
PyObject* var_sub(PyObject* a, PyObject* b) noexcept;
PyObject* var_mul(PyObject* a, PyObject* b) noexcept;
/// tp_richcompare of Var: ==, <=, >= build a Constr; != negates ==.
PyObject* var_richcompare(PyObject* self, PyObject* other, int op) noexcept;

/// The three slots above, ready for tp_as_number.
extern PyNumberMethods var_as_number;

/// The interpreter's float conversion of an operand, with any error it raises
/// discarded: false means "not a number". An exact int is read directly,
/// without the float object that the generic conversion makes.
inline bool number_value(PyObject* o, double& out) {
  if (PyFloat_CheckExact(o)) {
    out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (PyLong_CheckExact(o)) {
    out = PyLong_AsDouble(o);
    if (out == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();  // too large for a float
      return false;
    }
    return true;
  }
  double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  out = v;
  return true;
}

}  // namespace kestpy
