#pragma once
// The arithmetic of Var and LinExpr. LinExpr and Constr live in expr.cpp; the
// Var type (var.cpp) plugs these slot functions into its own type object.
#include "kestpy/py_ref.h"

namespace kestpy {

/// tp_richcompare of Var: ==, <=, >= build a Constr; != negates ==.
PyObject* var_richcompare(PyObject* self, PyObject* other, int op) noexcept;

/// nb_add, nb_subtract and nb_multiply of Var, ready for tp_as_number.
extern PyNumberMethods var_as_number;

}  // namespace kestpy
