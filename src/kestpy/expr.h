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

}  // namespace kestpy
