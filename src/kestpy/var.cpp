// Var and Vars: handles of one variable and of an n-dimensional block.
#include <algorithm>
#include <optional>
#include <string>

#include "core/debug_text.h"
#include "kestpy/model_files.h"
#include "kestpy/args.h"
#include "kestpy/block_keys.h"
#include "kestpy/buffers.h"
#include "kestpy/docs.h"
#include "kestpy/expr.h"
#include "kestpy/free_list.h"
#include "kestpy/matrix.h"
#include "kestpy/matrix_input.h"
#include "kestpy/objects.h"
#include "kestpy/param.h"

namespace kestpy {

namespace {

// ---- Var -------------------------------------------------------------------

FreeList<VarObject> free_vars;

void var_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  // A dealloc slot runs with the interpreter lock held: the handle's check for
  // it would only cost time on the hottest path of a build.
  auto* v = reinterpret_cast<VarObject*>(self);
  Py_XDECREF(v->cell.release());
  if (!free_vars.give(v)) PyObject_GC_Del(self);
}

int var_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<VarObject*>(self)->cell.get());
  return 0;
}

PyObject* var_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    static const Signature sig("Var", {{"id", true}});
    PyObject* a[1];
    sig.bind_tuple(args, kwargs, a);
    const std::uint64_t id = convert_arg("id", [&] { return to_u64(a[0]); });
    return new_var(kest::VarId{id}, nullptr).release();
  });
}

PyObject* var_str(PyObject* self) noexcept {
  return PyUnicode_FromFormat("Var(%llu)", static_cast<unsigned long long>(reinterpret_cast<VarObject*>(self)->id.index));
}

PyObject* var_get_X(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* v = reinterpret_cast<VarObject*>(self);
    if (!v->cell) Py_RETURN_NONE;
    std::optional<double> value;
    {
      ReadGuard g(cell_of(v->cell.get()));
      value = g->get_var_value(v->id);
    }
    if (!value) Py_RETURN_NONE;
    return PyFloat_FromDouble(*value);
  });
}

void* attr(VarAttr a) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(a)); }

PyGetSetDef var_getset[] = {
    {"X", var_get_X, nullptr, "", nullptr},
    {"LB", var_get_attr, var_set_attr, "The lower bound; settable.", attr(VarAttr::LB)},
    {"UB", var_get_attr, var_set_attr, "The upper bound; settable.", attr(VarAttr::UB)},
    {"VType", var_get_attr, var_set_attr,
     "The type, a VarType (KEST.CONTINUOUS, KEST.BINARY, KEST.INTEGER); settable, also by \"C\", \"B\", \"I\".",
     attr(VarAttr::VType)},
    {"VarName", var_get_attr, var_set_attr, "The name (\"\" when unnamed); settable.", attr(VarAttr::VarName)},
    {"Obj", var_get_attr, var_set_attr,
     "The objective coefficient; setting it keeps the rest of the objective.", attr(VarAttr::Obj)},
    {"Start", var_get_attr, var_set_attr, "The MIP start value, or None; settable (None takes it away).",
     attr(VarAttr::Start)},
    {"index", var_get_attr, nullptr, "The position in the model, in creation order from 0.", attr(VarAttr::Index)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ---- Vars ------------------------------------------------------------------

/// The product of the extents, or nothing when it does not fit in 64 bits
/// (a hand-built shape may say so; a zero extent anywhere still makes 0).
std::optional<std::uint64_t> extent_product(const std::vector<std::uint64_t>& shape) {
  if (std::find(shape.begin(), shape.end(), 0) != shape.end()) return 0;
  std::uint64_t n = 1;
  for (auto e : shape)
    if (__builtin_mul_overflow(n, e, &n)) return std::nullopt;
  return n;
}

void vars_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  reinterpret_cast<VarsObject*>(self)->~VarsObject();
  PyObject_GC_Del(self);
}

int vars_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<VarsObject*>(self)->cell.get());
  return visit_block_keys(reinterpret_cast<VarsObject*>(self)->keys.get(), visit, arg);
}

std::vector<std::uint64_t> u64_list(const char* name, PyObject* o) {
  return convert_arg(name, [&] { return to_vec<std::uint64_t>(o, to_u64); });
}

PyObject* vars_new(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    static const Signature sig("Vars", {{"shape", true}, {"ids", true}});
    PyObject* a[2];
    sig.bind_tuple(args, kwargs, a);
    auto shape = u64_list("shape", a[0]);
    auto raw_ids = u64_list("ids", a[1]);
    std::vector<kest::VarId> ids;
    ids.reserve(raw_ids.size());
    for (auto i : raw_ids) ids.push_back(kest::VarId{i});
    return new_vars(std::move(shape), std::move(ids), nullptr).release();
  });
}

PyObject* vars_str(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* vs = reinterpret_cast<VarsObject*>(self);
    std::string out = "Vars(shape=[";
    for (std::size_t i = 0; i < vs->shape.size(); ++i) {
      if (i) out += ", ";
      out += std::to_string(vs->shape[i]);
    }
    out += "], ids=[";
    for (std::size_t i = 0; i < vs->size(); ++i) {
      if (i) out += ", ";
      out += "VarId(" + std::to_string(vs->member(i).index) + ")";
    }
    out += "])";
    return check(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()))).release();
  });
}

/// The key as an index list: a sequence (not a str) of non-negative integers,
/// or one non-negative integer.
bool key_indices(PyObject* key, std::vector<std::uint64_t>& out) {
  if (!PyUnicode_Check(key) && PySequence_Check(key) && sequence_items(key, try_u64, out)) return true;
  std::uint64_t v;
  if (try_u64(key, v)) {
    out.assign(1, v);
    return true;
  }
  return false;
}

/// vs[key] for a tuple of exact ints, one per dimension, on a block whose
/// member count fits in 64 bits (every block a model makes): the flat position
/// by Horner's rule cannot overflow once each index is below its extent. Null
/// without an error set when the key needs the general path.
PyObject* member_by_int_tuple(VarsObject* vs, PyObject* key) {
  const std::size_t ndim = vs->shape.size();
  std::uint64_t idx[4];
  for (std::size_t d = 0; d < ndim; ++d) {
    PyObject* item = PyTuple_GET_ITEM(key, d);
    if (!PyLong_CheckExact(item)) return nullptr;
    idx[d] = PyLong_AsUnsignedLongLong(item);
    if (idx[d] == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
      PyErr_Clear();
      raise(PyExc_TypeError, "Expected integers for indices");
    }
  }
  std::uint64_t position = 0;
  for (std::size_t d = 0; d < ndim; ++d) {
    if (idx[d] >= vs->shape[d]) raise(PyExc_IndexError, "Index out of bounds");
    position = position * vs->shape[d] + idx[d];
  }
  if (position >= vs->size()) raise(PyExc_IndexError, "Flat index out of bounds");
  return new_var(vs->member(position), vs->cell.get()).release();
}

PyObject* vars_subscript(PyObject* self, PyObject* key) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* vs = reinterpret_cast<VarsObject*>(self);
    if (vs->keys) return new_var(vs->member(keyed_position(vs, key)), vs->cell.get()).release();
    if (vs->fits && PyTuple_CheckExact(key) && static_cast<std::size_t>(PyTuple_GET_SIZE(key)) == vs->shape.size() &&
        vs->shape.size() <= 4) {
      if (PyObject* member = member_by_int_tuple(vs, key)) return member;
    }
    std::uint64_t small[4];
    std::vector<std::uint64_t> index;
    std::size_t ndim = 0;
    const std::uint64_t* idx = small;
    // Fast path for the common tuple-of-ints and int keys.
    if (PyTuple_CheckExact(key) && PyTuple_GET_SIZE(key) <= 4) {
      ndim = static_cast<std::size_t>(PyTuple_GET_SIZE(key));
      for (std::size_t d = 0; d < ndim; ++d) {
        PyObject* item = PyTuple_GET_ITEM(key, d);
        if (!PyLong_CheckExact(item)) { ndim = SIZE_MAX; break; }
        unsigned long long v = PyLong_AsUnsignedLongLong(item);
        if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
          PyErr_Clear();
          raise(PyExc_TypeError, "Expected integers for indices");
        }
        small[d] = v;
      }
    } else {
      ndim = SIZE_MAX;
    }
    if (ndim == SIZE_MAX) {
      if (!key_indices(key, index)) raise(PyExc_TypeError, "Expected integers for indices");
      idx = index.data();
      ndim = index.size();
    }
    if (ndim != vs->shape.size()) raise(PyExc_IndexError, "Index dimension does not match variable dimension");
    // A hand-built shape may multiply past 64 bits; such a position is beyond
    // any ids list, so an overflow saturates instead of wrapping.
    std::uint64_t position = 0, stride = 1;
    bool beyond = false, stride_beyond = false;
    for (std::size_t d = ndim; d-- > 0;) {
      if (idx[d] >= vs->shape[d]) raise(PyExc_IndexError, "Index out of bounds");
      std::uint64_t term;
      if (idx[d] != 0 && (stride_beyond || __builtin_mul_overflow(idx[d], stride, &term) ||
                          __builtin_add_overflow(position, term, &position)))
        beyond = true;
      if (__builtin_mul_overflow(stride, vs->shape[d], &stride)) stride_beyond = true;
    }
    if (beyond || position >= vs->size()) raise(PyExc_IndexError, "Flat index out of bounds");
    return new_var(vs->member(position), vs->cell.get()).release();
  });
}

PyObject* vars_item(PyObject* self, Py_ssize_t i) noexcept {
  // Sequence-style access by position: the subscript with an int key.
  PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
  if (!key) return nullptr;
  return vars_subscript(self, key.get());
}

/// len(): the number of members, the product of the extents.
Py_ssize_t vars_length(PyObject* self) noexcept {
  const auto n = extent_product(reinterpret_cast<VarsObject*>(self)->shape);
  if (!n || *n > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "The block has more members than fit in a machine word");
    return -1;
  }
  return static_cast<Py_ssize_t>(*n);
}

// ---- iteration over a block -----------------------------------------------------

/// Yields the members in row-major order, which is the order of the ids, but
/// no further than the ids of a hand-built block reach.
struct VarsIterObject {
  PyObject_HEAD
  PyRef block;
  std::size_t next;
  std::size_t end;
};

// Tracked by the collector, as the block it holds may be.
void vars_iter_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_XDECREF(reinterpret_cast<VarsIterObject*>(self)->block.release());
  PyObject_GC_Del(self);
}

int vars_iter_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<VarsIterObject*>(self)->block.get());
  return 0;
}

PyObject* vars_iter_next(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* it = reinterpret_cast<VarsIterObject*>(self);
    if (it->next >= it->end) return nullptr;  // exhausted, no error set
    auto* vs = reinterpret_cast<VarsObject*>(it->block.get());
    return new_var(vs->member(it->next++), vs->cell.get()).release();
  });
}

PyTypeObject VarsIterType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.VarsIterator";
  t.tp_basicsize = sizeof(VarsIterObject);
  t.tp_dealloc = vars_iter_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_traverse = vars_iter_traverse;
  t.tp_iter = PyObject_SelfIter;
  t.tp_iternext = vars_iter_next;
  return t;
}();

PyObject* vars_iter(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    if (!VarsIterType_.tp_dict) check_status(PyType_Ready(&VarsIterType_));
    auto* it = PyObject_GC_New(VarsIterObject, &VarsIterType_);
    if (!it) throw PyErrSet{};
    new (&it->block) PyRef(PyRef::borrow(self));
    it->next = 0;
    it->end = block_members(self).size();
    PyObject_GC_Track(it);
    return reinterpret_cast<PyObject*>(it);
  });
}

/// The values of the block's members as a numpy array shaped like the block
/// (one-dimensional when a hand-built block holds fewer ids than its shape),
/// or None when the backend has none.
PyObject* vars_get_X(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* vs = reinterpret_cast<VarsObject*>(self);
    if (!vs->cell) Py_RETURN_NONE;
    std::optional<std::vector<double>> values;
    std::vector<kest::VarId> scratch;
    const std::span<const kest::VarId> ids = vs->ids().span(scratch);
    {
      ReadGuard g(cell_of(vs->cell.get()));
      values = g->get_var_values(ids);
    }
    if (!values) Py_RETURN_NONE;
    const auto members = extent_product(vs->shape);
    const bool whole = members && *members == vs->size();
    return numpy_array(std::move(*values), whole ? &vs->shape : nullptr).release();
  });
}

/// The extents as a tuple of ints.
PyObject* vars_get_shape(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const auto& shape = reinterpret_cast<VarsObject*>(self)->shape;
    PyRef out = check(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    for (std::size_t d = 0; d < shape.size(); ++d)
      PyTuple_SET_ITEM(out.get(), d, check(PyLong_FromUnsignedLongLong(shape[d])).release());
    return out.release();
  });
}

/// The members' reduced costs, shaped as vars_get_X shapes values.
PyObject* vars_get_RC(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* vs = reinterpret_cast<VarsObject*>(self);
    if (!vs->cell) Py_RETURN_NONE;
    std::optional<std::vector<double>> all;
    {
      ReadGuard g(cell_of(vs->cell.get()));
      all = g->result_vector(kest::ResultVector::ReducedCosts);
    }
    if (!all) Py_RETURN_NONE;
    std::vector<double> values(vs->size());
    for (std::size_t k = 0; k < values.size(); ++k) {
      const kest::VarId id = vs->member(k);
      const auto i = static_cast<std::size_t>(id.index);
      // Only a hand-built block can name a variable the model does not have.
      if (i >= all->size()) raise(PyExc_ValueError, kest::debug_text(id) + " is not a variable of this model");
      values[k] = (*all)[i];
    }
    const auto members = extent_product(vs->shape);
    const bool whole = members && *members == vs->size();
    return numpy_array(std::move(values), whole ? &vs->shape : nullptr).release();
  });
}

PyGetSetDef vars_getset[] = {
    {"X", vars_get_X, nullptr, "The members' values as a numpy array shaped like the block, or None.", nullptr},
    {"shape", vars_get_shape, nullptr,
     "The block's extents as a tuple of ints: one per dimension, the number of keys where a dimension has keys "
     "((n,) for a sparse set of n tuples).",
     nullptr},
    {"LB", vars_get_attr, nullptr, "The members' lower bounds as a numpy array shaped like the block.",
     attr(VarAttr::LB)},
    {"UB", vars_get_attr, nullptr, "The members' upper bounds as a numpy array shaped like the block.",
     attr(VarAttr::UB)},
    {"Obj", vars_get_attr, nullptr, "The members' objective coefficients as a numpy array shaped like the block.",
     attr(VarAttr::Obj)},
    {"Start", vars_get_attr, nullptr, "The members' MIP start values (NaN: none) as a numpy array.",
     attr(VarAttr::Start)},
    {"RC", vars_get_RC, nullptr,
     "The members' reduced costs as a numpy array shaped like the block, or None (as Model.RC).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/// The members at the given flat positions, as a one-dimensional block.
PyObject* vars_take(PyObject* self, PyObject* indices) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* vs = reinterpret_cast<VarsObject*>(self);
    std::vector<kest::VarId> picked = members_at(indices, vs->ids(), "Vars.take: indices");
    const std::size_t n = picked.size();
    return new_vars({n}, std::move(picked), vs->cell.get()).release();
  });
}

PyMethodDef vars_methods[] = {
    {"take", vars_take, METH_O, docs::kVarsTake},
    {"setAttr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vars_setAttr)),
     METH_FASTCALL | METH_KEYWORDS, docs::kVarsSetAttr},
    {"keys", vars_keys, METH_NOARGS, docs::kVarsKeys},
    {"sum", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vars_sum)), METH_FASTCALL, docs::kVarsSum},
    {"prod", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(vars_prod)), METH_FASTCALL,
     docs::kVarsProd},
    {"__reduce__", vars_reduce, METH_NOARGS, "Pickles the block as its shape, positions and keys."},
    {nullptr, nullptr, 0, nullptr},
};

PyMappingMethods vars_as_mapping = {vars_length, vars_subscript, nullptr};
PySequenceMethods vars_as_sequence = [] {
  PySequenceMethods m{};
  m.sq_item = vars_item;
  return m;
}();

}  // namespace

PyTypeObject VarType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.Var";
  t.tp_basicsize = sizeof(VarObject);
  t.tp_dealloc = var_dealloc;
  t.tp_as_number = &var_as_number;
  t.tp_hash = PyObject_HashNotImplemented;
  t.tp_str = var_str;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = var_traverse;
  t.tp_doc = "Var(id)\n--\n\n";
  t.tp_richcompare = var_richcompare;
  t.tp_getset = var_getset;
  t.tp_methods = var_methods;
  t.tp_new = var_new;
  return t;
}();

PyTypeObject VarsType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.Vars";
  t.tp_basicsize = sizeof(VarsObject);
  t.tp_dealloc = vars_dealloc;
  t.tp_as_number = &vars_as_number;
  t.tp_as_sequence = &vars_as_sequence;
  t.tp_as_mapping = &vars_as_mapping;
  t.tp_str = vars_str;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_traverse = vars_traverse;
  t.tp_iter = vars_iter;
  t.tp_doc = "Vars(shape, ids)\n--\n\n";
  t.tp_getset = vars_getset;
  t.tp_methods = vars_methods;
  t.tp_new = vars_new;
  return t;
}();

PyTypeObject* var_type() {
  if (!VarType_.tp_dict) check_status(PyType_Ready(&VarType_));
  return &VarType_;
}

PyTypeObject* vars_type() {
  if (!VarsType_.tp_dict) {
    check_status(PyType_Ready(&VarsType_));
    defer_numpy_operators(&VarsType_);
  }
  return &VarsType_;
}

MemberIds block_members(PyObject* vars) {
  const auto* vs = reinterpret_cast<VarsObject*>(vars);
  // An overflowing product is beyond any ids list.
  const std::uint64_t n = std::min<std::uint64_t>(extent_product(vs->shape).value_or(UINT64_MAX), vs->size());
  return vs->ids().first(static_cast<std::size_t>(n));
}

// A hand-built Var or Vars refers to nothing and stays out of the collector's
// sight, as an int would.
PyRef new_var(kest::VarId id, PyObject* cell) {
  VarObject* v = free_vars.take(&VarType_);
  if (!v) {
    v = PyObject_GC_New(VarObject, &VarType_);
    if (!v) throw PyErrSet{};
  }
  v->id = id;
  v->model = cell_tag(cell);
  new (&v->cell) PyRef(PyRef::borrow(cell));
  if (cell) PyObject_GC_Track(v);
  return PyRef::steal(reinterpret_cast<PyObject*>(v));
}

namespace {

PyRef make_vars(std::vector<std::uint64_t> shape, std::vector<kest::VarId> table, kest::VarId first,
                std::size_t count, PyObject* cell) {
  auto* v = PyObject_GC_New(VarsObject, vars_type());
  if (!v) throw PyErrSet{};
  new (&v->shape) std::vector<std::uint64_t>(std::move(shape));
  new (&v->table) std::vector<kest::VarId>(std::move(table));
  v->first = first;
  v->count = count;
  v->fits = extent_product(v->shape).has_value();
  v->consecutive = v->table.empty();
  new (&v->keys) std::shared_ptr<const BlockKeys>();
  new (&v->cell) PyRef(PyRef::borrow(cell));
  v->model = cell_tag(cell);
  if (cell) PyObject_GC_Track(v);
  return PyRef::steal(reinterpret_cast<PyObject*>(v));
}

}  // namespace

PyRef new_vars(std::vector<std::uint64_t> shape, std::vector<kest::VarId> ids, PyObject* cell) {
  // An unpickled or hand-built run of consecutive ids is kept as addVars keeps one.
  bool run = true;
  for (std::size_t k = 1; run && k < ids.size(); ++k) run = ids[k].index == ids[0].index + k;
  const kest::VarId first = ids.empty() ? kest::VarId{} : ids[0];
  const std::size_t count = ids.size();
  if (run) ids = {};
  return make_vars(std::move(shape), std::move(ids), first, count, cell);
}

PyRef new_vars_run(std::vector<std::uint64_t> shape, kest::VarId first, std::size_t count, PyObject* cell) {
  return make_vars(std::move(shape), {}, first, count, cell);
}

}  // namespace kestpy
