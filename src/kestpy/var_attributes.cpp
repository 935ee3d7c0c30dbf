// Attributes of variables read from and written to the model cache: Var.LB,
// UB, VType, VarName, Obj, Start and index; the block reads Vars.LB, UB, Obj
// and Start and the block write Vars.setAttr; Model.getVarByName.
//
// Values are converted and checked before the model's lock is taken, so an
// error leaves the model as it was.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "kestpy/args.h"
#include "kestpy/buffers.h"
#include "kestpy/objects.h"
#include "kestpy/param.h"

namespace kestpy {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

constexpr const char* kAttrNames[] = {"LB", "UB", "VType", "VarName", "Obj", "Start", "index"};

VarAttr attr_of(void* closure) { return static_cast<VarAttr>(reinterpret_cast<std::uintptr_t>(closure)); }
const char* name_of(VarAttr a) { return kAttrNames[static_cast<std::size_t>(a)]; }

/// The cell of a Var or Vars; ValueError for one built by hand.
OptimizerCell& owning_cell(PyObject* cell, const std::string& where, const std::string& what) {
  if (!cell) raise(PyExc_ValueError, where + ": " + what + " was built by hand and belongs to no model");
  return cell_of(cell);
}

std::string var_text(kest::VarId id) { return "Var(" + std::to_string(id.index) + ")"; }

std::uint8_t type_code(char32_t letter) {
  switch (letter) {
    case kest::kBinary: return 1;
    case kest::kInteger: return 2;
    default: return 0;
  }
}

/// A variable type from a VarType or one of the letters "C", "B", "I".
bool type_letter(PyObject* o, char32_t& out) {
  if (is_vartype(o)) {
    static constexpr char32_t kLetters[] = {kest::kContinuous, kest::kBinary, kest::kInteger};
    const auto code = reinterpret_cast<EnumObject*>(o)->code;
    out = code < 3 ? kLetters[code] : kest::kContinuous;
    return true;
  }
  if (PyUnicode_Check(o) && PyUnicode_GetLength(o) == 1) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(o, 0);
    if (c == 'C' || c == 'B' || c == 'I') {
      out = static_cast<char32_t>(c);
      return true;
    }
  }
  return false;
}

[[noreturn]] void raise_bad_type(const std::string& where, PyObject* o) {
  PyErr_Format(PyExc_TypeError, "%s: expected a VarType (KEST.CONTINUOUS, KEST.BINARY, KEST.INTEGER) or "
               "\"C\", \"B\", \"I\", got %R", where.c_str(), o);
  throw PyErrSet{};
}

/// A number for a bound or coefficient: NaN refused (None too, except for a
/// start, where None and NaN take the start away).
double number_for(VarAttr attr, PyObject* o, const std::string& where) {
  if (attr == VarAttr::Start && o == Py_None) return kNaN;
  double v = 0.0;
  if (!try_double(o, v)) {
    PyErr_Format(PyExc_TypeError, "%s: expected a number, got %.200s", where.c_str(), Py_TYPE(o)->tp_name);
    throw PyErrSet{};
  }
  if (std::isnan(v) && attr != VarAttr::Start) raise(PyExc_ValueError, where + ": NaN is not a value it can take");
  return v;
}

/// Writes one or many values of a variable attribute (already checked).
struct Write {
  VarAttr attr;
  std::vector<std::uint64_t> ids;
  std::vector<double> numbers;      // LB, UB, Obj, Start
  std::vector<char32_t> types;      // VType
  std::vector<std::string> names;   // VarName

  void apply(kest::BridgeOptimizer& b) const {
    switch (attr) {
      case VarAttr::LB:
      case VarAttr::UB: {
        const auto& t = b.variable_table();
        std::vector<double> lowers(ids.size()), uppers(ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
          lowers[i] = attr == VarAttr::LB ? numbers[i] : t.lower(ids[i]);
          uppers[i] = attr == VarAttr::UB ? numbers[i] : t.upper(ids[i]);
        }
        b.change_variable_bounds(ids, lowers, uppers);
        return;
      }
      case VarAttr::Obj:
        b.change_objective_coefficients(ids, numbers);
        return;
      case VarAttr::Start:
        b.change_start_values(ids, numbers);
        return;
      case VarAttr::VType:
        b.change_variable_types(ids, types);
        return;
      case VarAttr::VarName:
        b.change_variable_names(ids, names);
        return;
      case VarAttr::Index:
        return;
    }
  }
};

void write(PyObject* cell, const Write& w) {
  WriteGuard g(cell_of(cell));
  w.apply(g.bridge());
}

PyObject* numpy_float64(PyObject* o) {
  static PyObject* ascontiguous = nullptr;
  if (!ascontiguous) {
    PyRef numpy = check(PyImport_ImportModule("numpy"));
    PyRef f = check(PyObject_GetAttrString(numpy.get(), "ascontiguousarray"));
    if (!ascontiguous) ascontiguous = f.release();  // kept for the life of the process
  }
  PyRef dtype = check(PyUnicode_FromString("float64"));
  PyRef kwargs = check(PyDict_New());
  check_status(PyDict_SetItemString(kwargs.get(), "dtype", dtype.get()));
  PyRef args = check(PyTuple_Pack(1, o));
  return PyObject_Call(ascontiguous, args.get(), kwargs.get());
}

/// n numbers from a scalar (for every member) or an array-like with n entries
/// (flat, or shaped like the block), read through the buffer protocol: a
/// float64 array is copied as it is, anything else converted by numpy once.
std::vector<double> block_numbers(VarAttr attr, PyObject* o, std::size_t n, const std::string& where) {
  double one = 0.0;
  if (o == Py_None || try_double(o, one)) return std::vector<double>(n, number_for(attr, o, where));
  if (PyUnicode_Check(o) || PyBytes_Check(o)) {
    PyErr_Format(PyExc_TypeError, "%s: expected a number or an array of numbers, got %.200s", where.c_str(),
                 Py_TYPE(o)->tp_name);
    throw PyErrSet{};
  }
  PyRef array;
  Py_buffer view;
  bool have = PyObject_CheckBuffer(o) && PyObject_GetBuffer(o, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
  if (!have) PyErr_Clear();
  if (have && (view.itemsize != sizeof(double) || !view.format || std::strcmp(view.format, "d") != 0)) {
    PyBuffer_Release(&view);
    have = false;
  }
  if (!have) {
    array = PyRef::steal(numpy_float64(o));
    if (!array) reraise_prefixed(where + ": ");
    check_status(PyObject_GetBuffer(array.get(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT));
  }
  std::vector<double> out;
  const auto count = static_cast<std::size_t>(view.len / static_cast<Py_ssize_t>(sizeof(double)));
  if (count == n) out.assign(static_cast<const double*>(view.buf), static_cast<const double*>(view.buf) + n);
  PyBuffer_Release(&view);
  if (count != n)
    raise(PyExc_ValueError, where + ": " + counted(count, "value", "values") + " for a block of " +
                                counted(n, "member", "members"));
  if (attr != VarAttr::Start) {
    for (std::size_t i = 0; i < n; ++i)
      if (std::isnan(out[i]))
        raise(PyExc_ValueError, where + ": entry " + std::to_string(i) + " is NaN, which is not a value it can take");
  }
  return out;
}

/// n items of a sequence (not a str) of exactly n entries, each converted by conv.
template <class T, class Conv>
std::vector<T> block_items(PyObject* o, std::size_t n, const std::string& where, Conv&& conv) {
  PyRef seq = PyUnicode_Check(o) ? PyRef() : list_or_tuple(o);
  if (!seq) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: expected a sequence with one entry per member, got %.200s", where.c_str(),
                 Py_TYPE(o)->tp_name);
    throw PyErrSet{};
  }
  const auto len = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(seq.get()));
  if (len != n)
    raise(PyExc_ValueError, where + ": " + counted(len, "entry", "entries") + " for a block of " +
                                counted(n, "member", "members"));
  std::vector<T> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(conv(PySequence_Fast_GET_ITEM(seq.get(), static_cast<Py_ssize_t>(i))));
  return out;
}

/// Fills w's values for the members `n` from `o` (one value or one per member).
void fill_values(Write& w, PyObject* o, std::size_t n, const std::string& where) {
  switch (w.attr) {
    case VarAttr::VType: {
      char32_t one;
      if (type_letter(o, one)) {
        w.types.assign(n, one);
        return;
      }
      w.types = block_items<char32_t>(o, n, where, [&](PyObject* item) {
        char32_t t;
        if (!type_letter(item, t)) raise_bad_type(where, item);
        return t;
      });
      return;
    }
    case VarAttr::VarName:
      if (PyUnicode_Check(o) && n == 1) {
        w.names.emplace_back(convert_arg("value", [&] { return to_str(o); }));
        return;
      }
      w.names = block_items<std::string>(o, n, where, [&](PyObject* item) {
        if (!PyUnicode_Check(item)) {
          PyErr_Format(PyExc_TypeError, "%s: a name must be a str, got %.200s", where.c_str(), Py_TYPE(item)->tp_name);
          throw PyErrSet{};
        }
        return std::string(to_str(item));
      });
      return;
    default:
      w.numbers = block_numbers(w.attr, o, n, where);
      return;
  }
}

}  // namespace

PyObject* var_get_attr(PyObject* self, void* closure) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* v = reinterpret_cast<VarObject*>(self);
    const VarAttr attr = attr_of(closure);
    if (attr == VarAttr::Index) return check(PyLong_FromUnsignedLongLong(v->id.index)).release();
    const std::string where = std::string("Var.") + name_of(attr);
    OptimizerCell& cell = owning_cell(v->cell.get(), where, var_text(v->id));
    double number = 0.0;
    char32_t type = kest::kContinuous;
    std::string name;
    {
      ReadGuard g(cell);
      const auto& t = g->variable_table();
      const std::uint64_t i = v->id.index;
      switch (attr) {
        case VarAttr::LB: number = t.lower(i); break;
        case VarAttr::UB: number = t.upper(i); break;
        case VarAttr::Start: number = t.start(i); break;
        case VarAttr::Obj: number = g->objective_coefficients({&v->id, 1})[0]; break;
        case VarAttr::VType: type = t.type(i); break;
        case VarAttr::VarName: name = t.name(i); break;
        case VarAttr::Index: break;
      }
    }
    switch (attr) {
      case VarAttr::VType:
        return new_vartype(type_code(type)).release();
      case VarAttr::VarName:
        return check(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))).release();
      case VarAttr::Start:
        if (std::isnan(number)) Py_RETURN_NONE;
        [[fallthrough]];
      default:
        return check(PyFloat_FromDouble(number)).release();
    }
  });
}

int var_set_attr(PyObject* self, PyObject* value, void* closure) noexcept {
  return guard<int>(-1, [&] {
    auto* v = reinterpret_cast<VarObject*>(self);
    const VarAttr attr = attr_of(closure);
    const std::string where = std::string("Var.") + name_of(attr);
    if (!value) raise(PyExc_AttributeError, where + " cannot be deleted");
    (void)owning_cell(v->cell.get(), where, var_text(v->id));
    Write w{attr, {v->id.index}, {}, {}, {}};
    if (attr == VarAttr::VType) {
      char32_t t;
      if (!type_letter(value, t)) raise_bad_type(where, value);
      w.types.push_back(t);
    } else if (attr == VarAttr::VarName) {
      if (!PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s: expected a str, got %.200s", where.c_str(), Py_TYPE(value)->tp_name);
        throw PyErrSet{};
      }
      w.names.emplace_back(to_str(value));
    } else {
      w.numbers.push_back(number_for(attr, value, where));
    }
    write(v->cell.get(), w);
    return 0;
  });
}

PyObject* vars_get_attr(PyObject* self, void* closure) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* vs = reinterpret_cast<VarsObject*>(self);
    const VarAttr attr = attr_of(closure);
    const std::string where = std::string("Vars.") + name_of(attr);
    OptimizerCell& cell = owning_cell(vs->cell.get(), where, "the block");
    const MemberIds ids = block_members(self);
    std::vector<double> values(ids.size());
    std::vector<kest::VarId> scratch;
    const std::span<const kest::VarId> listed = attr == VarAttr::Obj ? ids.span(scratch) : std::span<const kest::VarId>();
    {
      ReadGuard g(cell);
      const auto& t = g->variable_table();
      if (attr == VarAttr::Obj) {
        values = g->objective_coefficients(listed);
      } else {
        for (std::size_t i = 0; i < ids.size(); ++i) {
          const std::uint64_t id = ids[i].index;
          values[i] = attr == VarAttr::LB ? t.lower(id) : attr == VarAttr::UB ? t.upper(id) : t.start(id);
        }
      }
    }
    const bool whole = ids.size() == vs->size();
    return numpy_array(std::move(values), whole ? &vs->shape : nullptr).release();
  });
}

PyObject* vars_setAttr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* vs = reinterpret_cast<VarsObject*>(self);
    static const Signature sig("Vars.setAttr", {{"attrname", true}, {"values", true}});
    PyObject* a[2];
    sig.bind(args, nargs, kwnames, a);
    const std::string name(convert_arg("attrname", [&] { return to_str(a[0]); }));
    std::size_t k = 0;
    while (k < 6 && name != kAttrNames[k]) ++k;
    if (k == 6)
      raise(PyExc_ValueError, "Vars.setAttr: 'attrname' " + name +
                                  " is not one of \"LB\", \"UB\", \"Obj\", \"Start\", \"VType\", \"VarName\"");
    const std::string where = "Vars.setAttr(\"" + name + "\")";
    (void)owning_cell(vs->cell.get(), where, "the block");
    const MemberIds ids = block_members(self);
    Write w{static_cast<VarAttr>(k), {}, {}, {}, {}};
    w.ids.resize(ids.size());
    for (std::size_t p = 0; p < ids.size(); ++p) w.ids[p] = ids[p].index;
    fill_values(w, a[1], ids.size(), where);
    write(vs->cell.get(), w);
    Py_RETURN_NONE;
  });
}

PyObject* model_getVarByName(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* m = as_model(self);
    static const Signature sig("Model.getVarByName", {{"name", true}});
    PyObject* a[1];
    sig.bind(args, nargs, kwnames, a);
    std::string name(convert_arg("name", [&] { return to_str(a[0]); }));
    ExclusiveUse use(m);
    std::optional<std::uint64_t> found;
    {
      WriteGuard g(model_cell(m));  // the lookup grows as it is used
      found = g->find_variable(name);
    }
    if (!found) Py_RETURN_NONE;
    return new_var(kest::VarId{*found}, m->cell.get()).release();
  });
}

}  // namespace kestpy
