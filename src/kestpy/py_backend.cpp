#include "kestpy/py_backend.h"

#include <array>
#include <bit>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <span>

#include "bridge/cached_objective.h"
#include "kestpy/args.h"
#include "kestpy/buffers.h"
#include "kestpy/errors.h"
#include "kestpy/gil.h"

namespace kestpy {

namespace {

// Method names are interned once and live for the whole process, like the
// module's type objects.
struct MethodNames {
  PyObject* add_variable;
  PyObject* add_variables;
  PyObject* add_constraint;
  PyObject* add_constraints;
  PyObject* set_objective;
  PyObject* update;
  PyObject* set_optimizer_attr;
  PyObject* optimize;
  PyObject* get_var_value;
  PyObject* get_objective_value;
  PyObject* add_variable_arrays;
  PyObject* add_constraint_arrays;
  PyObject* set_objective_arrays;
  PyObject* get_var_values;
  PyObject* get_solve_info;
  PyObject* result_vector[3];  // by kest::ResultVector
};

PyObject* intern(const char* s) {
  PyObject* p = PyUnicode_InternFromString(s);
  if (!p) throw_python_fault();
  return p;
}

const MethodNames& names() {
  static const MethodNames n{
      intern("add_variable"),       intern("add_variables"), intern("add_constraint"),
      intern("add_constraints"),    intern("set_objective"), intern("update"),
      intern("set_optimizer_attr"), intern("optimize"),      intern("get_var_value"),
      intern("get_objective_value"), intern("add_variable_arrays"), intern("add_constraint_arrays"),
      intern("set_objective_arrays"), intern("get_var_values"), intern("get_solve_info"),
      {intern("get_constraint_duals"), intern("get_reduced_costs"), intern("get_constraint_slacks")},
  };
  return n;
}

std::string method_text(PyObject* name) {
  const char* s = PyUnicode_AsUTF8(name);
  return s ? s : "?";
}

// --- Building arguments. A failure to create an object is a fault carrying
// the interpreter's error.

PyRef made(PyObject* p) {
  if (!p) throw_python_fault();
  return PyRef::steal(p);
}

PyRef none() { return PyRef::borrow(Py_None); }
PyRef py_int(std::uint64_t v) { return made(PyLong_FromUnsignedLongLong(v)); }
PyRef py_float(double v) { return made(PyFloat_FromDouble(v)); }
PyRef py_str(std::string_view s) {
  return made(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
// Single characters below U+0100 come from the interpreter's own cache.
PyRef py_char(char32_t c) { return made(PyUnicode_FromOrdinal(static_cast<int>(c))); }

template <class T, class Conv>
PyRef py_optional(const std::optional<T>& v, Conv&& conv) {
  return v ? conv(*v) : none();
}

/// Floats for lists. Models repeat a few values (bounds of 0 and infinity,
/// coefficients of 1 and -1, small integers), so a small direct-mapped cache
/// lets each of them share one object. Keys are bit patterns so that -0.0 and
/// NaN payloads pass unchanged. A batch gets 256 slots; a single function
/// (one constraint, the objective) gets 16, since clearing and releasing the
/// larger table would cost more than building the function's short lists.
template <int kBits>
class FloatCache {
 public:
  PyRef operator()(double v) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    Slot& slot = slots_[(bits * 0x9E3779B97F4A7C15ULL) >> (64 - kBits)];
    if (!slot.object || slot.bits != bits) {
      slot.object = py_float(v);
      slot.bits = bits;
    }
    return slot.object;
  }

 private:
  struct Slot {
    PyRef object;
    std::uint64_t bits = 0;
  };
  std::array<Slot, std::size_t{1} << kBits> slots_;
};
using FloatMaker = FloatCache<8>;
using FewFloats = FloatCache<4>;

/// Variable indices. In a batch each index becomes one int object however often
/// it occurs; a single call (one constraint, the objective) creates them
/// directly, since a cache sized by the largest index would cost as much as
/// the model for every forwarded constraint.
class IndexMaker {
 public:
  explicit IndexMaker(bool shared) : shared_(shared) {}

  PyRef operator()(kest::VarId v) {
    const std::uint64_t i = v.index;
    if (!shared_ || i >= kLimit) return py_int(i);
    if (i >= cache_.size()) cache_.resize(static_cast<std::size_t>(i) + 1 + cache_.size() / 2);
    PyRef& slot = cache_[static_cast<std::size_t>(i)];
    if (!slot) slot = py_int(i);
    return slot;
  }

 private:
  static constexpr std::uint64_t kLimit = std::uint64_t{1} << 26;
  bool shared_;
  std::vector<PyRef> cache_;
};

/// Holds the cyclic garbage collector off while a batch's argument lists are
/// built. They hold only ints, floats and strs, so they cannot form cycles,
/// yet a million new lists would otherwise set off repeated full collections.
class GcPause {
 public:
#if PY_VERSION_HEX >= 0x030A0000
  GcPause() noexcept : was_enabled_(PyGC_Disable()) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  int was_enabled_;
#endif
};

template <class Item>
PyRef build_list(std::size_t n, Item&& item) {
  PyRef list = made(PyList_New(static_cast<Py_ssize_t>(n)));
  // A list with unfilled slots is safe to release if an item fails.
  for (std::size_t i = 0; i < n; ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item(i).release());
  return list;
}

template <class T, class Make>
PyRef list_of(const std::vector<T>& v, Make&& make) {
  return build_list(v.size(), [&](std::size_t i) { return make(v[i]); });
}

// --- Decoding functions and sets.

/// A function as (index list, coefficient list, constant), terms in stored order.
struct FunctionArgs {
  PyRef indices;
  PyRef coeffs;
  double constant = 0.0;
};

template <class Floats>
FunctionArgs decode_function(const kest::ScalarFunctionType& f, IndexMaker& ints, Floats& floats) {
  FunctionArgs out;
  if (const kest::SingleVariable* s = f.single()) {
    out.indices = build_list(1, [&](std::size_t) { return ints(s->var); });
    out.coeffs = build_list(1, [&](std::size_t) { return floats(1.0); });
    return out;
  }
  const kest::ScalarAffineFn& a = *f.affine();
  out.indices = build_list(a.terms.size(), [&](std::size_t i) { return ints(a.terms[i].var); });
  out.coeffs = build_list(a.terms.size(), [&](std::size_t i) { return floats(a.terms[i].coeff); });
  out.constant = a.constant;
  return out;
}

/// A set as its sense symbol; the right-hand side is set.value.
const char* sense_symbol(kest::ScalarSetType::Kind kind) {
  switch (kind) {
    case kest::ScalarSetType::Kind::GreaterThan:
      return ">";
    case kest::ScalarSetType::Kind::LessThan:
      return "<";
    case kest::ScalarSetType::Kind::EqualTo:
      return "=";
    case kest::ScalarSetType::Kind::Interval:
      break;
  }
  throw kest::Fault("Interval constraints not supported via PyBackend yet");
}
const char* sense_symbol(const kest::ScalarSetType& set) { return sense_symbol(set.kind); }

// --- Calling and reading results.

/// Calls the backend's method `name` with the given positional arguments; a
/// failed lookup or a raise is a fault. The method is called unbound where the
/// interpreter can, which saves a bound-method object per call.
template <class... Args>
PyRef call(PyObject* backend, PyObject* name, const Args&... args) {
  PyObject* argv[sizeof...(Args) + 1] = {backend, args.get()...};
  PyRef result = PyRef::steal(PyObject_VectorcallMethod(name, argv, (sizeof...(Args) + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!result) throw_python_fault("Python backend method '" + method_text(name) + "' failed: ");
  return result;
}

[[noreturn]] void bad_result(PyObject* name) {
  throw_python_fault("Python backend method '" + method_text(name) + "' returned an unusable result: ");
}

std::uint64_t result_u64(PyObject* name, PyObject* r) {
  try {
    return to_u64(r);
  } catch (const PyErrSet&) {
    bad_result(name);
  }
}

template <class Id>
std::vector<Id> result_ids(PyObject* name, PyObject* r) {
  try {
    return to_vec<Id>(r, [](PyObject* o) { return Id{to_u64(o)}; });
  } catch (const PyErrSet&) {
    bad_result(name);
  }
}

std::optional<double> result_value(PyObject* name, PyObject* r) {
  if (r == Py_None) return std::nullopt;
  try {
    return to_double(r);
  } catch (const PyErrSet&) {
    bad_result(name);
  }
}


// --- The array channel.

/// Variable indices as int32 while every one fits, else int64. Indices below
/// 2**31 read the same as int32, so the cache's own array is shared as it is.
PyRef index_array(std::span<const std::uint32_t> vars, std::shared_ptr<const void> owner = nullptr) {
  std::uint32_t top = 0;
  for (auto v : vars) top = std::max(top, v);
  if (top <= static_cast<std::uint32_t>(INT32_MAX)) return shared_memoryview<std::int32_t>(vars, std::move(owner));
  return owned_memoryview(std::vector<std::int64_t>(vars.begin(), vars.end()));
}

template <class T>
PyRef shared(const kest::SharedSpan<T>& s) {
  return shared_memoryview<T>(s.values, s.owner);
}

/// Row starts relative to the batch's first term: int32 while the batch's
/// nonzeros fit, else int64.
PyRef starts_array(std::span<const std::uint64_t> starts) {
  const std::uint64_t base = starts.front();
  if (starts.back() - base <= static_cast<std::uint64_t>(INT32_MAX)) {
    std::vector<std::int32_t> out(starts.size());
    for (std::size_t r = 0; r < starts.size(); ++r) out[r] = static_cast<std::int32_t>(starts[r] - base);
    return owned_memoryview(std::move(out));
  }
  std::vector<std::int64_t> out(starts.size());
  for (std::size_t r = 0; r < starts.size(); ++r) out[r] = static_cast<std::int64_t>(starts[r] - base);
  return owned_memoryview(std::move(out));
}

PyRef batch_names(const kest::NameSlice& names) {
  return names.any_named() ? name_sequence(names) : none();
}

/// Hands the float64 buffer `r` (one dimension, C-contiguous) to use(data, count);
/// anything else is an unusable result of `method`.
template <class Use>
void read_float64(PyObject* method, PyObject* r, Use&& use) {
  Py_buffer view;
  if (PyObject_GetBuffer(r, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) bad_result(method);
  struct Release {
    Py_buffer* v;
    ~Release() { PyBuffer_Release(v); }
  } release{&view};
  const std::string_view format = view.format ? view.format : "B";
  const bool f64 = view.itemsize == 8 && (format == "d" || format == "=d" || format == "@d" ||
                                          (std::endian::native == std::endian::little && format == "<d"));
  if (!f64) {
    PyErr_Format(PyExc_TypeError, "expected an array of float64, got one of format '%s'", view.format ? view.format : "B");
    bad_result(method);
  }
  use(static_cast<const double*>(view.buf), static_cast<std::uint64_t>(view.len / 8));
}

// A KeyboardInterrupt taken out of the interpreter by optimize, per thread. Raw
// pointers: a thread-local PyRef would release them at thread exit without
// the interpreter lock.
struct PendingInterrupt {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};
thread_local PendingInterrupt pending_interrupt;

void drop_pending_interrupt() noexcept {
  Py_CLEAR(pending_interrupt.type);
  Py_CLEAR(pending_interrupt.value);
  Py_CLEAR(pending_interrupt.traceback);
}

}  // namespace

bool raise_pending_interrupt() noexcept {
  if (!pending_interrupt.type) return false;
  PyErr_Restore(pending_interrupt.type, pending_interrupt.value, pending_interrupt.traceback);
  pending_interrupt = PendingInterrupt{};
  return true;
}

namespace {
}  // namespace

PyBackend::PyBackend(PyRef backend) : backend_(std::move(backend)) {
  // On the class only: a backend that makes methods up in __getattr__ keeps
  // speaking the list protocol it was written for.
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(backend_.get()));
  auto defines = [&](PyObject* name) {
    PyRef found = PyRef::steal(PyObject_GetAttr(type, name));
    if (found) return true;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError))
      throw_python_fault("Looking up the backend's method '" + method_text(name) + "' failed: ");
    PyErr_Clear();
    return false;
  };
  has_.variable_arrays = defines(names().add_variable_arrays);
  has_.constraint_arrays = defines(names().add_constraint_arrays);
  has_.objective_arrays = defines(names().set_objective_arrays);
  has_.var_values = defines(names().get_var_values);
  has_.solve_info = defines(names().get_solve_info);
  for (std::size_t k = 0; k < 3; ++k) has_.result_vector[k] = defines(names().result_vector[k]);
  for (std::size_t k = 0; k < std::size(has_.change); ++k) has_.change[k] = defines(change_method_name(k));
}

PyBackend::PyBackend(PyRef backend, PyRef factory, PyRef model_name) : PyBackend(std::move(backend)) {
  factory_ = std::move(factory);
  model_name_ = std::move(model_name);
}

PyBackend::~PyBackend() {
  release_reference(backend_.release());
  release_reference(factory_.release());
  release_reference(model_name_.release());
}

std::unique_ptr<kest::Optimizer> PyBackend::fresh() {
  if (!factory_) return nullptr;
  GilGuard gil;
  PyObject* argv[3] = {nullptr, model_name_.get(), Py_None};
  PyRef obj = PyRef::steal(PyObject_Vectorcall(factory_.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!obj) throw_python_fault("Rebuilding the backend failed: ");
  return std::make_unique<PyBackend>(std::move(obj), factory_, model_name_);
}

kest::VarId PyBackend::add_variable(std::optional<std::string_view> name, std::optional<char32_t> vtype,
                                    std::optional<double> lower, std::optional<double> upper) {
  GilGuard gil;
  PyObject* method = names().add_variable;
  PyRef r = call(backend_.get(), method, py_optional(name, py_str), py_optional(vtype, py_char),
                 py_optional(lower, py_float), py_optional(upper, py_float));
  return kest::VarId{result_u64(method, r.get())};
}

namespace {

/// A batch bound: a float for one value for all, a list for one per variable.
PyRef bound_arg(const std::optional<kest::BoundType>& b) {
  if (!b) return none();
  if (const double* v = b->as_scalar()) return py_float(*v);
  FloatMaker floats;
  return list_of(*b->as_list(), floats);
}

}  // namespace

std::vector<kest::VarId> PyBackend::add_variables(std::size_t count, std::optional<kest::NameType> names_arg,
                                                  std::optional<std::vector<char32_t>> vtypes,
                                                  std::optional<kest::BoundType> lowers,
                                                  std::optional<kest::BoundType> uppers) {
  GilGuard gil;
  PyObject* method = names().add_variables;
  PyRef py_count, py_names, py_types, py_lower, py_upper;
  {
    GcPause no_gc;
    py_count = py_int(count);
    if (!names_arg)
      py_names = none();
    else if (const std::string* prefix = names_arg->as_prefix())
      py_names = py_str(*prefix);
    else
      py_names = list_of(*names_arg->as_list(), [](const std::string& s) { return py_str(s); });
    py_types = vtypes ? list_of(*vtypes, py_char) : none();
    py_lower = bound_arg(lowers);
    py_upper = bound_arg(uppers);
  }
  PyRef r = call(backend_.get(), method, py_count, py_names, py_types, py_lower, py_upper);
  return result_ids<kest::VarId>(method, r.get());
}

kest::ConstrId PyBackend::add_constraint(kest::ScalarFunctionType function, kest::ScalarSetType set,
                                         std::optional<std::string> name) {
  GilGuard gil;
  PyObject* method = names().add_constraint;
  const char* sense = sense_symbol(set);  // before anything reaches the backend
  IndexMaker ints(false);
  FewFloats floats;
  FunctionArgs f = decode_function(function, ints, floats);
  PyRef r = call(backend_.get(), method, f.indices, f.coeffs, py_str(sense), py_float(set.value),
                 py_optional(name, [](const std::string& s) { return py_str(s); }), py_float(f.constant));
  return kest::ConstrId{result_u64(method, r.get())};
}

std::vector<kest::ConstrId> PyBackend::add_constraints(std::vector<kest::ScalarFunctionType> functions,
                                                       std::vector<kest::ScalarSetType> sets,
                                                       std::optional<std::vector<std::string>> names_arg) {
  GilGuard gil;
  PyObject* method = names().add_constraints;
  // Decoding a function cannot fail; an Interval anywhere stops the whole
  // batch before the backend sees any of it.
  std::vector<const char*> senses;
  senses.reserve(sets.size());
  for (const auto& s : sets) senses.push_back(sense_symbol(s));

  PyRef idx_lists, coeff_lists, constant_list, sense_list, rhs_list, name_list;
  {
    GcPause no_gc;
    IndexMaker ints(true);
    FloatMaker coeffs, constants, rhs;
    const auto n = static_cast<Py_ssize_t>(functions.size());
    idx_lists = made(PyList_New(n));
    coeff_lists = made(PyList_New(n));
    constant_list = made(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      FunctionArgs f = decode_function(functions[static_cast<std::size_t>(i)], ints, coeffs);
      // These lists hold only ints and floats and cannot be part of a cycle;
      // left tracked, millions of them would make every later full collection
      // (while the backend digests them, and after) walk them all.
      PyObject_GC_UnTrack(f.indices.get());
      PyObject_GC_UnTrack(f.coeffs.get());
      PyList_SET_ITEM(idx_lists.get(), i, f.indices.release());
      PyList_SET_ITEM(coeff_lists.get(), i, f.coeffs.release());
      PyList_SET_ITEM(constant_list.get(), i, constants(f.constant).release());
    }
    sense_list = list_of(senses, [](const char* s) { return py_str(s); });
    rhs_list = list_of(sets, [&](const kest::ScalarSetType& s) { return rhs(s.value); });
    name_list = names_arg ? list_of(*names_arg, [](const std::string& s) { return py_str(s); }) : none();
  }
  PyRef r = call(backend_.get(), method, idx_lists, coeff_lists, constant_list, sense_list, rhs_list, name_list);
  return result_ids<kest::ConstrId>(method, r.get());
}

namespace {

/// The objective sense as backends receive it: 1 to maximise, -1 to minimise.
PyRef sense_code(kest::OptimizationSense sense) {
  return made(PyLong_FromLong(sense == kest::OptimizationSense::Maximize ? 1 : -1));
}

}  // namespace

kest::Status PyBackend::set_objective(kest::ScalarFunctionType function, kest::OptimizationSense sense) {
  if (has_.objective_arrays) {
    kest::CachedObjective arrays;
    arrays.assign(function);
    return set_objective_columns(arrays.columns(), sense);
  }
  GilGuard gil;
  IndexMaker ints(false);
  FewFloats floats;
  FunctionArgs f = decode_function(function, ints, floats);
  PyRef code = sense_code(sense);
  call(backend_.get(), names().set_objective, f.indices, f.coeffs, py_float(f.constant), code);
  return kest::Status::success();
}

kest::Status PyBackend::set_objective_columns(const kest::ObjectiveColumns& objective,
                                             kest::OptimizationSense sense) {
  if (!has_.objective_arrays) return set_objective(objective.function(), sense);
  GilGuard gil;
  PyRef code = sense_code(sense);
  // The backend receives shares of the cache's terms, not a copy.
  call(backend_.get(), names().set_objective_arrays, index_array(objective.vars.values, objective.vars.owner),
       shared(objective.coeffs), py_float(objective.constant), code);
  return kest::Status::success();
}

kest::Status PyBackend::update() {
  GilGuard gil;
  call(backend_.get(), names().update);
  return kest::Status::success();
}

std::optional<kest::AttrValue> PyBackend::get_model_attr(kest::ModelAttr) { return std::nullopt; }

kest::Status PyBackend::set_model_attr(kest::ModelAttr, kest::AttrValue) { return kest::Status::success(); }

std::optional<kest::AttrValue> PyBackend::get_optimizer_attr(kest::OptimizerAttr) { return std::nullopt; }

kest::Status PyBackend::set_optimizer_attr(kest::OptimizerAttr attr, kest::AttrValue value) {
  GilGuard gil;
  using Kind = kest::AttrValue::Kind;
  const Kind kind = value.kind();
  if (kind != Kind::String && kind != Kind::Int && kind != Kind::Float && kind != Kind::Bool)
    throw kest::Fault("Unsupported attribute value type for PyBackend");

  PyRef py_name;
  switch (attr.kind) {
    case kest::OptimizerAttr::Kind::SolverName:
      py_name = py_str("SolverName");
      break;
    case kest::OptimizerAttr::Kind::Silent:
      py_name = py_str("Silent");
      break;
    case kest::OptimizerAttr::Kind::TimeLimit:
      py_name = py_str("TimeLimit");
      break;
    case kest::OptimizerAttr::Kind::Raw:
      py_name = py_str(attr.name);
      break;
  }
  PyRef py_value;
  switch (kind) {
    case Kind::String:
      py_value = py_str(std::get<std::string>(value.value));
      break;
    case Kind::Int:
      py_value = made(PyLong_FromLongLong(std::get<std::int64_t>(value.value)));
      break;
    case Kind::Float:
      py_value = py_float(std::get<double>(value.value));
      break;
    default:
      py_value = PyRef::borrow(std::get<bool>(value.value) ? Py_True : Py_False);
      break;
  }
  PyRef r = call(backend_.get(), names().set_optimizer_attr, py_name, py_value);
  // False: the backend refused the value and kept the one it had.
  if (r.get() == Py_False) return kest::KestError::value_refused();
  return kest::Status::success();
}

kest::Result<kest::SolveStatus> PyBackend::optimize() {
  GilGuard gil;
  PyObject* method = names().optimize;
  drop_pending_interrupt();
  PyObject* argv[1] = {backend_.get()};
  PyRef r = PyRef::steal(PyObject_VectorcallMethod(method, argv, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!r) {
    if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt))
      throw_python_fault("Python backend method '" + method_text(method) + "' failed: ");
    // The user stopped the solve; what the backend kept stays readable.
    PyErr_Fetch(&pending_interrupt.type, &pending_interrupt.value, &pending_interrupt.traceback);
    return kest::SolveStatus::Interrupted;
  }
  const std::uint64_t code = result_u64(method, r.get());
  if (code > std::numeric_limits<std::uint32_t>::max()) {
    PyErr_Format(PyExc_OverflowError, "%llu does not fit an unsigned 32-bit integer",
                 static_cast<unsigned long long>(code));
    bad_result(method);
  }
  // 0 is no solve outcome (it reads "not solved"): a backend's 0 is "other".
  if (code == 0) return kest::SolveStatus::Other;
  return static_cast<kest::SolveStatus>(code);
}

kest::Status PyBackend::compute_conflict() { return kest::Status::success(); }

std::optional<double> PyBackend::get_var_value(kest::VarId var) {
  GilGuard gil;
  PyObject* method = names().get_var_value;
  PyRef r = call(backend_.get(), method, py_int(var.index));
  return result_value(method, r.get());
}

std::optional<double> PyBackend::get_objective_value() {
  GilGuard gil;
  PyObject* method = names().get_objective_value;
  PyRef r = call(backend_.get(), method);
  return result_value(method, r.get());
}

}  // namespace kestpy

namespace kestpy {

void PyBackend::add_variable_columns(const kest::VariableColumns& batch) {
  GilGuard gil;
  const std::size_t n = batch.size();
  if (has_.variable_arrays) {
    std::vector<std::uint8_t> types(n);
    for (std::size_t i = 0; i < n; ++i) {
      if (batch.types[i] > 0x7F) throw kest::Fault("A variable type code outside ASCII cannot travel as an array");
      types[i] = static_cast<std::uint8_t>(batch.types[i]);
    }
    call(backend_.get(), names().add_variable_arrays, shared(batch.lowers), shared(batch.uppers),
         owned_memoryview(std::move(types)), batch_names(batch.names));
    return;
  }
  // The list form: one add_variables call with every argument a list.
  PyObject* method = names().add_variables;
  PyRef py_count, py_names, py_types, py_lower, py_upper;
  {
    GcPause no_gc;
    py_count = py_int(n);
    std::string text;
    py_names = build_list(n, [&](std::size_t i) {
      text.clear();
      batch.names.append(text, i);
      return py_str(text);
    });
    py_types = build_list(n, [&](std::size_t i) { return py_char(batch.types[i]); });
    FloatMaker floats;
    py_lower = build_list(n, [&](std::size_t i) { return floats(batch.lowers[i]); });
    py_upper = build_list(n, [&](std::size_t i) { return floats(batch.uppers[i]); });
  }
  PyRef r = call(backend_.get(), method, py_count, py_names, py_types, py_lower, py_upper);
  (void)result_ids<kest::VarId>(method, r.get());
}

void PyBackend::add_constraint_columns(const kest::ConstraintColumns& batch) {
  GilGuard gil;
  const std::size_t n = batch.size();
  // An Interval anywhere stops the whole batch before the backend sees any of it.
  std::vector<std::uint8_t> senses(n);
  for (std::size_t r = 0; r < n; ++r) senses[r] = static_cast<std::uint8_t>(*sense_symbol(kest::RowKind::set_kind(batch.kinds[r])));
  if (has_.constraint_arrays) {
    call(backend_.get(), names().add_constraint_arrays, starts_array(batch.starts),
         index_array(batch.vars.values, batch.vars.owner), shared(batch.coeffs), shared(batch.constants),
         owned_memoryview(std::move(senses)), shared(batch.bounds), batch_names(batch.names));
    return;
  }
  // The list form: per-row index and coefficient lists, as add_constraints takes them.
  PyObject* method = names().add_constraints;
  PyRef idx_lists, coeff_lists, constant_list, sense_list, rhs_list, name_list;
  {
    GcPause no_gc;
    IndexMaker ints(true);
    FloatMaker coeff_floats, constants, rhs;
    idx_lists = made(PyList_New(static_cast<Py_ssize_t>(n)));
    coeff_lists = made(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t r = 0; r < n; ++r) {
      const auto begin = static_cast<std::size_t>(batch.starts[r] - batch.starts[0]);
      const auto len = static_cast<std::size_t>(batch.starts[r + 1] - batch.starts[r]);
      PyRef idx = build_list(len, [&](std::size_t k) { return ints(kest::VarId{batch.vars[begin + k]}); });
      PyRef cf = build_list(len, [&](std::size_t k) { return coeff_floats(batch.coeffs[begin + k]); });
      // These lists hold only ints and floats and cannot be part of a cycle;
      // left tracked, millions of them would make every later full collection
      // (while the backend digests them, and after) walk them all.
      PyObject_GC_UnTrack(idx.get());
      PyObject_GC_UnTrack(cf.get());
      PyList_SET_ITEM(idx_lists.get(), static_cast<Py_ssize_t>(r), idx.release());
      PyList_SET_ITEM(coeff_lists.get(), static_cast<Py_ssize_t>(r), cf.release());
    }
    constant_list = build_list(n, [&](std::size_t r) { return constants(batch.constants[r]); });
    sense_list = build_list(n, [&](std::size_t r) { return py_char(senses[r]); });
    rhs_list = build_list(n, [&](std::size_t r) { return rhs(batch.bounds[r]); });
    std::string text;
    name_list = build_list(n, [&](std::size_t r) {
      text.clear();
      batch.names.append(text, r);
      return py_str(text);
    });
  }
  PyRef r = call(backend_.get(), method, idx_lists, coeff_lists, constant_list, sense_list, rhs_list, name_list);
  (void)result_ids<kest::ConstrId>(method, r.get());
}

std::optional<std::vector<double>> PyBackend::get_var_values(std::span<const kest::VarId> vars) {
  if (!has_.var_values) return kest::Optimizer::get_var_values(vars);
  GilGuard gil;
  PyObject* method = names().get_var_values;
  PyRef r = call(backend_.get(), method);
  if (r.get() == Py_None) return std::nullopt;
  std::vector<double> out;
  read_float64(method, r.get(), [&](const double* data, std::uint64_t have) {
    out.resize(vars.size());
    for (std::size_t i = 0; i < vars.size(); ++i) {
      if (vars[i].index >= have) {
        PyErr_Format(PyExc_ValueError, "%llu values, none for variable %llu", static_cast<unsigned long long>(have),
                     static_cast<unsigned long long>(vars[i].index));
        bad_result(method);
      }
      out[i] = data[vars[i].index];
    }
  });
  return out;
}

std::optional<std::vector<double>> PyBackend::get_result_vector(kest::ResultVector which, std::size_t count) {
  const auto k = static_cast<std::size_t>(which);
  if (!has_.result_vector[k]) return std::nullopt;
  GilGuard gil;
  PyObject* method = names().result_vector[k];
  PyRef r = call(backend_.get(), method);
  if (r.get() == Py_None) return std::nullopt;
  std::vector<double> out;
  read_float64(method, r.get(), [&](const double* data, std::uint64_t have) {
    if (have != count) {
      PyErr_Format(PyExc_ValueError, "%llu values for %llu items", static_cast<unsigned long long>(have),
                   static_cast<unsigned long long>(count));
      bad_result(method);
    }
    out.assign(data, data + count);
  });
  return out;
}

namespace {

std::optional<double> info_float(PyObject* method, PyObject* dict, const char* key) {
  PyObject* v = PyDict_GetItemString(dict, key);  // borrowed; never raises
  if (!v || v == Py_None) return std::nullopt;
  double d = 0.0;
  if (!try_double(v, d)) {
    PyErr_Format(PyExc_TypeError, "'%s' must be a float or None", key);
    bad_result(method);
  }
  return d;
}

}  // namespace

std::optional<kest::SolveInfo> PyBackend::get_solve_info() {
  if (!has_.solve_info) return std::nullopt;
  GilGuard gil;
  PyObject* method = names().get_solve_info;
  PyRef r = call(backend_.get(), method);
  if (r.get() == Py_None) return std::nullopt;
  if (!PyDict_Check(r.get())) {
    PyErr_Format(PyExc_TypeError, "expected a dict or None, got %.200s", Py_TYPE(r.get())->tp_name);
    bad_result(method);
  }
  kest::SolveInfo info;
  if (PyObject* n = PyDict_GetItemString(r.get(), "sol_count"); n && n != Py_None) {
    try {
      info.sol_count = to_i64(n);
    } catch (const PyErrSet&) {
      bad_result(method);
    }
  }
  info.obj_bound = info_float(method, r.get(), "obj_bound");
  info.mip_gap = info_float(method, r.get(), "mip_gap");
  info.runtime = info_float(method, r.get(), "runtime");
  if (PyObject* n = PyDict_GetItemString(r.get(), "iter_count"); n && n != Py_None) {
    try {
      info.iterations = to_i64(n);
    } catch (const PyErrSet&) {
      bad_result(method);
    }
  }
  if (PyObject* t = PyDict_GetItemString(r.get(), "status_text"); t && t != Py_None) {
    try {
      info.status_text = std::string(to_str(t));
    } catch (const PyErrSet&) {
      bad_result(method);
    }
  }
  return info;
}

}  // namespace kestpy
