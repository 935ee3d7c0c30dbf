#pragma once
// Model files and saved states at the Python boundary (model_files.cpp).
#include "kestpy/py_ref.h"

namespace kestpy {

PyObject* model_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_reduce(PyObject* self, PyObject*) noexcept;
PyObject* model_copy(PyObject* self, PyObject*) noexcept;
PyObject* model_deepcopy(PyObject* self, PyObject*) noexcept;
/// Attaches the backend a copied or unpickled model names, before its first solve.
void attach_pending_backend(PyObject* self);
/// kestpy.read and the restore functions pickles name.
void add_file_functions(PyObject* module);

// Pickling of Var, Vars, LinExpr and Constr (pickling.cpp).
extern PyMethodDef var_methods[];
/// Vars.__reduce__, an entry of the Vars method table.
PyObject* vars_reduce(PyObject* self, PyObject*) noexcept;
extern PyMethodDef linexpr_methods[];
extern PyMethodDef constr_methods[];
void add_pickle_functions(PyObject* module);

}  // namespace kestpy
