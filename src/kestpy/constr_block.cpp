// Model.addMConstrs and the handle of the block it adds (Constrs).
#include <optional>
#include <string>

#include "core/debug_text.h"
#include "kestpy/args.h"
#include "kestpy/buffers.h"
#include "kestpy/matrix.h"

namespace kestpy {

namespace {

ConstrsObject* as_constrs(PyObject* o) { return reinterpret_cast<ConstrsObject*>(o); }

PyRef new_constrs(PyObject* cell, std::uint64_t first, std::uint64_t count) {
  auto* c = PyObject_GC_New(ConstrsObject, constrs_type());
  if (!c) throw PyErrSet{};
  new (&c->cell) PyRef(PyRef::borrow(cell));
  c->first = first;
  c->count = count;
  PyObject_GC_Track(c);
  return PyRef::steal(reinterpret_cast<PyObject*>(c));
}

void constrs_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  as_constrs(self)->cell.~PyRef();
  PyObject_GC_Del(self);
}

int constrs_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_constrs(self)->cell.get());
  return 0;
}

Py_ssize_t constrs_length(PyObject* self) noexcept { return static_cast<Py_ssize_t>(as_constrs(self)->count); }

PyObject* constrs_str(PyObject* self) noexcept {
  const auto* c = as_constrs(self);
  return PyUnicode_FromFormat("Constrs(first=%llu, count=%llu)", static_cast<unsigned long long>(c->first),
                              static_cast<unsigned long long>(c->count));
}

/// The block's positions among the model's constraints, as a range.
PyObject* constrs_get_indices(PyObject* self, void*) noexcept {
  const auto* c = as_constrs(self);
  return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyRange_Type), "KK",
                               static_cast<unsigned long long>(c->first),
                               static_cast<unsigned long long>(c->first + c->count));
}

/// The block's rows of a whole-model result vector, or None.
PyObject* constrs_get_result(PyObject* self, void* which) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto* c = as_constrs(self);
    std::optional<std::vector<double>> values;
    {
      ReadGuard g(cell_of(c->cell.get()));
      values = g->result_vector(static_cast<kest::ResultVector>(reinterpret_cast<std::uintptr_t>(which)));
    }
    if (!values) Py_RETURN_NONE;
    // The model's constraints are never removed, so the block lies within
    // any vector of the model's length.
    if (values->size() < c->first + c->count) throw kest::Fault("a result vector shorter than the model's constraints");
    std::vector<double> block(values->begin() + static_cast<std::ptrdiff_t>(c->first),
                              values->begin() + static_cast<std::ptrdiff_t>(c->first + c->count));
    return numpy_array(std::move(block)).release();
  });
}

template <class E>
void* closure(E which) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(which));
}

PyGetSetDef constrs_getset[] = {
    {"indices", constrs_get_indices, nullptr,
     "The block's positions among the model's constraints (a range), as Model.Pi and Model.Slack order them.",
     nullptr},
    {"Pi", constrs_get_result, nullptr,
     "The duals of the block's rows (d objective / d rhs) as a numpy array, or None.",
     closure(kest::ResultVector::ConstraintDuals)},
    {"Slack", constrs_get_result, nullptr,
     "rhs - (expression + constant) of each of the block's rows as a numpy array, or None.",
     closure(kest::ResultVector::ConstraintSlacks)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/// Row i of the block as a ConstrRef (negative i counts from the end; the
/// interpreter adds the length before calling); iteration stops at IndexError.
PyObject* constrs_item(PyObject* self, Py_ssize_t i) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto* c = as_constrs(self);
    if (i < 0 || static_cast<std::uint64_t>(i) >= c->count) raise(PyExc_IndexError, "Constrs index out of range");
    return new_constr_ref(c->first + static_cast<std::uint64_t>(i), c->cell.get()).release();
  });
}

PySequenceMethods constrs_as_sequence = [] {
  PySequenceMethods m{};
  m.sq_length = constrs_length;
  m.sq_item = constrs_item;
  return m;
}();

}  // namespace

PyTypeObject ConstrsType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.Constrs";
  t.tp_basicsize = sizeof(ConstrsObject);
  t.tp_dealloc = constrs_dealloc;
  t.tp_as_sequence = &constrs_as_sequence;
  t.tp_str = constrs_str;
  t.tp_repr = constrs_str;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_traverse = constrs_traverse;
  t.tp_doc = "A block of constraints a model holds, as Model.addMConstrs returns it.";
  t.tp_getset = constrs_getset;
  return t;
}();

PyTypeObject* constrs_type() {
  if (!ConstrsType_.tp_dict) check_status(PyType_Ready(&ConstrsType_));
  return &ConstrsType_;
}

PyRef add_block(ModelObject* m, PyObject* block, PyObject* name, const char* where) {
  const auto* c = reinterpret_cast<const MConstrObject*>(block);
  require_model(cell_tag(m->cell.get()), c->model, where, "'constr'");
  const kest::ConstraintRows batch = c->batch();
  const std::size_t count = batch.size();
  kest::NameRun names = batch_names(name, count, where);
  // The unknown variable is reported once the lock is let go: an exception
  // unwinding through the guard would mark the model broken.
  std::optional<kest::VarId> unknown;
  kest::ConstrId first{0};
  {
    WriteGuard g(model_cell(m));
    if (!batch.vars.empty() && c->max_var >= g->num_variables())
      unknown = kest::VarId{c->max_var};
    else
      first = g->add_constraint_batch(batch, std::move(names));
  }
  if (unknown) raise(PyExc_ValueError, kest::debug_text(*unknown) + " is not a variable of this model");
  return new_constrs(m->cell.get(), first.index, count);
}

PyObject* model_addMConstrs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* m = as_model(self);
    static const Signature sig("Model.addMConstrs", {{"constrs", true}, {"name"}});
    PyObject* a[2];
    sig.bind(args, nargs, kwnames, a);
    ExclusiveUse use(m);
    convert_arg("constrs", [&] {
      if (!is_mconstr(a[0])) raise_cast_error(a[0], "MConstr");
    });
    return add_block(m, a[0], a[1], "addMConstrs").release();
  });
}

}  // namespace kestpy
