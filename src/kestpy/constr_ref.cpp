// ConstrRef: a handle of one stored constraint (the model's cell and the
// row's position), with RHS, Sense, ConstrName, Pi, Slack and index; and the
// Model methods that hand them out or take them: getConstrs, getConstrByName,
// chgCoeff, getCoeff.
//
// RHS is the bound on the constraint's terms, every constant moved to the
// right (x + 2 <= 5 reads 3). Sense reads "<", ">" or "="; a range row
// (lower <= expression <= upper) reads "R", its RHS being the upper bound. Setting RHS keeps the sense (a
// range keeps its lower bound); setting Sense keeps the RHS (a range becomes
// one-sided at its upper bound, at its lower for ">").
#include <cmath>
#include <limits>
#include <string>

#include "kestpy/args.h"
#include "kestpy/objects.h"

namespace kestpy {

namespace {

struct ConstrRefObject {
  PyObject_HEAD
  std::uint64_t row;
  PyRef cell;
};

enum class RowAttr : std::uintptr_t { RHS, Sense, ConstrName, Pi, Slack, Index };

ConstrRefObject* as_ref(PyObject* o) { return reinterpret_cast<ConstrRefObject*>(o); }

extern PyTypeObject ConstrRefType_;
bool is_constr_ref(PyObject* o) { return Py_IS_TYPE(o, &ConstrRefType_); }

void ref_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  as_ref(self)->cell.~PyRef();
  PyObject_GC_Del(self);
}

int ref_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_ref(self)->cell.get());
  return 0;
}

int ref_clear(PyObject* self) {
  as_ref(self)->cell.reset();
  return 0;
}

OptimizerCell& ref_cell(PyObject* self) {
  if (!as_ref(self)->cell) raise(PyExc_RuntimeError, "ConstrRef: the handle no longer refers to a model");
  return cell_of(as_ref(self)->cell.get());
}

PyObject* ref_repr(PyObject* self) noexcept {
  return PyUnicode_FromFormat("<ConstrRef %llu>", static_cast<unsigned long long>(as_ref(self)->row));
}

PyObject* ref_richcompare(PyObject* a, PyObject* b, int op) noexcept {
  if ((op != Py_EQ && op != Py_NE) || !is_constr_ref(b)) Py_RETURN_NOTIMPLEMENTED;
  const bool same = as_ref(a)->row == as_ref(b)->row && as_ref(a)->cell.get() == as_ref(b)->cell.get();
  return PyBool_FromLong(same == (op == Py_EQ));
}

Py_hash_t ref_hash(PyObject* self) noexcept {
  const auto h = static_cast<Py_hash_t>(as_ref(self)->row * 0x9E3779B97F4A7C15ULL ^
                                        reinterpret_cast<std::uintptr_t>(as_ref(self)->cell.get()));
  return h == -1 ? -2 : h;
}

const char* sense_text(const kest::ScalarSetType& set) {
  switch (set.kind) {
    case kest::ScalarSetType::Kind::LessThan: return "<";
    case kest::ScalarSetType::Kind::GreaterThan: return ">";
    case kest::ScalarSetType::Kind::EqualTo: return "=";
    case kest::ScalarSetType::Kind::Interval: break;
  }
  return "R";
}

RowAttr row_attr(void* closure) { return static_cast<RowAttr>(reinterpret_cast<std::uintptr_t>(closure)); }

PyObject* ref_get(PyObject* self, void* closure) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const std::uint64_t row = as_ref(self)->row;
    const RowAttr attr = row_attr(closure);
    if (attr == RowAttr::Index) return check(PyLong_FromUnsignedLongLong(row)).release();
    kest::ScalarSetType set;
    double constant = 0.0;
    std::string name;
    std::optional<std::vector<double>> results;
    {
      ReadGuard g(ref_cell(self));
      switch (attr) {
        case RowAttr::RHS:
        case RowAttr::Sense:
          set = g->constraint_table().set(row);
          constant = g->constraint_table().constant(row);
          break;
        case RowAttr::ConstrName: name = g->constraint_table().name(row); break;
        case RowAttr::Pi: results = g->result_vector(kest::ResultVector::ConstraintDuals); break;
        case RowAttr::Slack: results = g->result_vector(kest::ResultVector::ConstraintSlacks); break;
        case RowAttr::Index: break;
      }
    }
    switch (attr) {
      case RowAttr::RHS:
        return check(PyFloat_FromDouble(
                         (set.kind == kest::ScalarSetType::Kind::Interval ? set.upper : set.value) - constant))
            .release();
      case RowAttr::Sense:
        return check(PyUnicode_FromString(sense_text(set))).release();
      case RowAttr::ConstrName:
        return check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))).release();
      default:
        if (!results || row >= results->size()) Py_RETURN_NONE;
        return check(PyFloat_FromDouble((*results)[static_cast<std::size_t>(row)])).release();
    }
  });
}

/// "<", ">", "=" (also "<=", ">=", "==") as a set kind.
kest::ScalarSetType::Kind sense_kind(PyObject* o) {
  const std::string_view s = PyUnicode_Check(o) ? to_str(o) : std::string_view();
  if (s == "<" || s == "<=") return kest::ScalarSetType::Kind::LessThan;
  if (s == ">" || s == ">=") return kest::ScalarSetType::Kind::GreaterThan;
  if (s == "=" || s == "==") return kest::ScalarSetType::Kind::EqualTo;
  PyErr_Format(PyExc_ValueError, "ConstrRef.Sense: expected \"<\", \">\" or \"=\", got %R", o);
  throw PyErrSet{};
}

int ref_set(PyObject* self, PyObject* value, void* closure) noexcept {
  return guard<int>(-1, [&] {
    const std::uint64_t row = as_ref(self)->row;
    const RowAttr attr = row_attr(closure);
    if (!value) raise(PyExc_AttributeError, "ConstrRef attributes cannot be deleted");
    OptimizerCell& cell = ref_cell(self);
    if (attr == RowAttr::ConstrName) {
      if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "ConstrRef.ConstrName: expected a str, got %.200s", Py_TYPE(value)->tp_name);
        throw PyErrSet{};
      }
      const std::string name(to_str(value));
      WriteGuard g(cell);
      g->change_constraint_names({&row, 1}, {&name, 1});
      return 0;
    }
    double rhs = 0.0;
    kest::ScalarSetType::Kind kind{};
    if (attr == RowAttr::RHS) {
      if (!try_double(value, rhs)) {
        PyErr_Format(PyExc_TypeError, "ConstrRef.RHS: expected a number, got %.200s", Py_TYPE(value)->tp_name);
        throw PyErrSet{};
      }
      if (std::isnan(rhs)) raise(PyExc_ValueError, "ConstrRef.RHS: NaN is not a right-hand side");
    } else {
      kind = sense_kind(value);
    }
    WriteGuard g(cell);
    kest::ScalarSetType set = g->constraint_table().set(row);
    const bool range = set.kind == kest::ScalarSetType::Kind::Interval;
    if (attr == RowAttr::RHS) {
      (range ? set.upper : set.value) = rhs + g->constraint_table().constant(row);
    } else {
      if (range && kind != kest::ScalarSetType::Kind::GreaterThan) set.value = set.upper;
      set.kind = kind;
      set.upper = 0.0;
    }
    g->change_constraint_sets({&row, 1}, {&set, 1});
    return 0;
  });
}

void* row_closure(RowAttr a) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(a)); }

PyGetSetDef ref_getset[] = {
    {"RHS", ref_get, ref_set, "The right-hand side (a range's upper bound); settable.", row_closure(RowAttr::RHS)},
    {"Sense", ref_get, ref_set, "\"<\", \">\", \"=\" (\"R\" for a range); settable, the RHS staying.",
     row_closure(RowAttr::Sense)},
    {"ConstrName", ref_get, ref_set, "The name (\"\" when unnamed); settable.", row_closure(RowAttr::ConstrName)},
    {"Pi", ref_get, nullptr, "The dual value after an LP solved to optimality, else None.", row_closure(RowAttr::Pi)},
    {"Slack", ref_get, nullptr, "rhs - (expression + constant) after a solve with values, else None.",
     row_closure(RowAttr::Slack)},
    {"index", ref_get, nullptr, "The position in the model, in creation order from 0.", row_closure(RowAttr::Index)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject ConstrRefType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.ConstrRef";
  t.tp_basicsize = sizeof(ConstrRefObject);
  t.tp_dealloc = ref_dealloc;
  t.tp_repr = ref_repr;
  t.tp_hash = ref_hash;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc = "A constraint of a model, from Model.getConstrs or Model.getConstrByName.";
  t.tp_traverse = ref_traverse;
  t.tp_clear = ref_clear;
  t.tp_richcompare = ref_richcompare;
  t.tp_getset = ref_getset;
  return t;
}();

/// The row of `o`, a ConstrRef of model m; TypeError or ValueError naming `param`.
std::uint64_t row_of(ModelObject* m, PyObject* o, const char* where) {
  if (!is_constr_ref(o)) {
    PyErr_Format(PyExc_TypeError, "%s: 'constr' must be a ConstrRef (from getConstrs or getConstrByName), got %.200s",
                 where, Py_TYPE(o)->tp_name);
    throw PyErrSet{};
  }
  if (as_ref(o)->cell.get() != m->cell.get())
    raise(PyExc_ValueError, std::string(where) + ": 'constr' is a constraint of another model");
  return as_ref(o)->row;
}

std::uint64_t var_of(ModelObject* m, PyObject* o, const char* where) {
  if (!is_var(o)) raise_cast_error(o, "Var");
  auto* v = reinterpret_cast<VarObject*>(o);
  if (v->cell.get() != m->cell.get())
    raise(PyExc_ValueError, std::string(where) + ": 'var' Var(" + std::to_string(v->id.index) +
                                ") is not a variable of this model");
  if (v->id.index > std::numeric_limits<std::uint32_t>::max())
    raise(PyExc_ValueError, std::string(where) + ": 'var' is beyond the variables a constraint can hold");
  return v->id.index;
}

}  // namespace

PyTypeObject* constr_ref_type() {
  if (!ConstrRefType_.tp_dict) check_status(PyType_Ready(&ConstrRefType_));
  return &ConstrRefType_;
}

PyRef new_constr_ref(std::uint64_t row, PyObject* cell) {
  auto* r = PyObject_GC_New(ConstrRefObject, constr_ref_type());
  if (!r) throw PyErrSet{};
  r->row = row;
  new (&r->cell) PyRef(PyRef::borrow(cell));
  PyObject_GC_Track(r);
  return PyRef::steal(reinterpret_cast<PyObject*>(r));
}

PyObject* model_getConstrs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* m = as_model(self);
    static const Signature sig("Model.getConstrs", {});
    sig.bind(args, nargs, kwnames, nullptr);
    SharedUse use(m);
    std::size_t n = 0;
    {
      ReadGuard g(model_cell(m));
      n = g->num_constraints();
    }
    PyRef list = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t r = 0; r < n; ++r)
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(r), new_constr_ref(r, m->cell.get()).release());
    return list.release();
  });
}

PyObject* model_getConstrByName(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* m = as_model(self);
    static const Signature sig("Model.getConstrByName", {{"name", true}});
    PyObject* a[1];
    sig.bind(args, nargs, kwnames, a);
    std::string name(convert_arg("name", [&] { return to_str(a[0]); }));
    ExclusiveUse use(m);
    std::optional<std::uint64_t> found;
    {
      WriteGuard g(model_cell(m));  // the lookup grows as it is used
      found = g->find_constraint(name);
    }
    if (!found) Py_RETURN_NONE;
    return new_constr_ref(*found, m->cell.get()).release();
  });
}

PyObject* model_chgCoeff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* m = as_model(self);
    static const Signature sig("Model.chgCoeff", {{"constr", true}, {"var", true}, {"newvalue", true}});
    PyObject* a[3];
    sig.bind(args, nargs, kwnames, a);
    ExclusiveUse use(m);
    const std::uint64_t row = row_of(m, a[0], "chgCoeff");
    const std::uint64_t var = var_of(m, a[1], "chgCoeff");
    const double value = convert_arg("newvalue", [&] { return to_double(a[2]); });
    if (std::isnan(value)) raise(PyExc_ValueError, "chgCoeff: 'newvalue' is NaN, which no coefficient can be");
    {
      WriteGuard g(model_cell(m));
      g->change_coefficients({&row, 1}, {&var, 1}, {&value, 1});
    }
    Py_RETURN_NONE;
  });
}

PyObject* model_getCoeff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* m = as_model(self);
    static const Signature sig("Model.getCoeff", {{"constr", true}, {"var", true}});
    PyObject* a[2];
    sig.bind(args, nargs, kwnames, a);
    SharedUse use(m);
    const std::uint64_t row = row_of(m, a[0], "getCoeff");
    const std::uint64_t var = var_of(m, a[1], "getCoeff");
    double value = 0.0;
    {
      ReadGuard g(model_cell(m));
      value = g->constraint_table().coefficient(row, static_cast<std::uint32_t>(var));
    }
    return check(PyFloat_FromDouble(value)).release();
  });
}

}  // namespace kestpy
