// TEMPORARY during parallel development: weak placeholders overridden by the real definitions. Removed at integration.
#include "kestpy/objects.h"
#include "kestpy/expr.h"
namespace kestpy {
// Zero-initialised only: a dynamic initialiser here would overwrite the real object.
__attribute__((weak)) PyTypeObject LinExprType_{};
__attribute__((weak)) PyTypeObject ConstrType_{};
__attribute__((weak)) PyTypeObject* linexpr_type() { if (!LinExprType_.tp_dict) { Py_SET_REFCNT(&LinExprType_, 1); LinExprType_.tp_name="builtins.LinExpr"; LinExprType_.tp_basicsize=sizeof(LinExprObject); LinExprType_.tp_flags=Py_TPFLAGS_DEFAULT|Py_TPFLAGS_DISALLOW_INSTANTIATION; check_status(PyType_Ready(&LinExprType_)); } return &LinExprType_; }
__attribute__((weak)) PyTypeObject* constr_type() { if (!ConstrType_.tp_dict) { Py_SET_REFCNT(&ConstrType_, 1); ConstrType_.tp_name="builtins.Constr"; ConstrType_.tp_basicsize=sizeof(ConstrObject); ConstrType_.tp_flags=Py_TPFLAGS_DEFAULT|Py_TPFLAGS_DISALLOW_INSTANTIATION; check_status(PyType_Ready(&ConstrType_)); } return &ConstrType_; }
__attribute__((weak)) PyNumberMethods var_as_number{};
__attribute__((weak)) PyObject* var_richcompare(PyObject*, PyObject*, int) noexcept { Py_RETURN_NOTIMPLEMENTED; }
static PyObject* qs(PyObject*, PyObject*) { Py_RETURN_NONE; }
__attribute__((weak)) PyMethodDef quicksum_def = {"quicksum", qs, METH_O, "quicksum(generator)\n--\n\n"};  // constant-initialised
#define STUB(n) __attribute__((weak)) PyObject* n(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) noexcept { Py_RETURN_NONE; }
STUB(model_addConstr) STUB(model_addConstrs) STUB(model_setObjective) STUB(model_setParam) STUB(model_setBackend) STUB(model_optimize)
__attribute__((weak)) PyObject* model_get_ObjVal(PyObject*, void*) noexcept { Py_RETURN_NONE; }
}
