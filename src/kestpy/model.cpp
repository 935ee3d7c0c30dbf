// The Model type: construction, string form, variables, and the method table
// whose other entries live in model_constraints.cpp and model_solve.cpp.
#include <algorithm>
#include <limits>
#include <string>

#include "core/debug_text.h"
#include "kestpy/args.h"
#include "kestpy/block_keys.h"
#include "kestpy/docs.h"
#include "kestpy/member_args.h"
#include "kestpy/model_files.h"
#include "kestpy/objects.h"
#include "kestpy/param.h"

namespace kestpy {

// Both uses start by asking for the cell: one the collector cleared faults.
ExclusiveUse::ExclusiveUse(ModelObject* m) : m_(m) {
  (void)model_cell(m);
  if (m->borrow != 0) raise(PyExc_RuntimeError, "Already borrowed");
  m->borrow = -1;
}

SharedUse::SharedUse(ModelObject* m) : m_(m) {
  (void)model_cell(m);
  if (m->borrow < 0) raise(PyExc_RuntimeError, "Already mutably borrowed");
  ++m->borrow;
}

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();

// The variable type of each VarType code (0 continuous, 1 binary, 2 integer).
constexpr char32_t kKindLetters[3] = {kest::kContinuous, kest::kBinary, kest::kInteger};

char32_t kind_letter(std::uint8_t code) { return code < 3 ? kKindLetters[code] : kest::kContinuous; }

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    static const Signature sig("Model", {{"name", true}});
    PyObject* a[1];
    sig.bind_tuple(args, kwargs, a);
    std::string_view name = convert_arg("name", [&] { return to_str(a[0]); });
    PyRef self = check(type->tp_alloc(type, 0));
    auto* m = as_model(self.get());
    new (&m->name) std::string(name);
    new (&m->cell) PyRef(new_cell_object(name));
    new (&m->backend) PyRef();
    new (&m->backend_name) std::string();
    m->borrow = 0;
    return self.release();
  });
}

// A backend that refers back to its model forms a cycle through the model's
// own reference and through the cell's adapter; the cell reports the latter.
int model_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* m = as_model(self);
  Py_VISIT(m->backend.get());
  Py_VISIT(m->cell.get());
  return 0;
}

int model_clear(PyObject* self) {
  as_model(self)->backend.reset();
  return 0;
}

void model_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* m = as_model(self);
  m->backend.~PyRef();
  m->cell.~PyRef();  // may destroy the bridge and with it the backend adapter
  m->name.~basic_string();
  m->backend_name.~basic_string();
  PyTypeObject* type = Py_TYPE(self);
  type->tp_free(self);
}

PyObject* model_str(PyObject* self) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* m = as_model(self);
    SharedUse use(m);
    std::string out = "Model(name=" + m->name + ")";
    return check(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()))).release();
  });
}

/// Whether the message of the Python error that is set starts with `text`;
/// the error stays set.
bool error_starts_with(const char* text) {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  bool starts = false;
  if (PyRef s = PyRef::steal(v ? PyObject_Str(v) : nullptr)) {
    const char* data = PyUnicode_AsUTF8(s.get());
    starts = data && std::string_view(data).starts_with(text);
  }
  if (PyErr_Occurred()) PyErr_Clear();
  PyErr_Restore(t, v, tb);
  return starts;
}

}  // namespace

PyObject* model_addVar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* m = as_model(self);
    static const Signature sig("Model.addVar", {{"lb"}, {"ub"}, {"obj"}, {"vtype"}, {"name"}});
    PyObject* a[5];
    sig.bind(args, nargs, kwnames, a);
    ExclusiveUse use(m);
    const double lb = a[0] ? convert_arg("lb", [&] { return to_double(a[0]); }) : 0.0;
    const double ub = a[1] ? convert_arg("ub", [&] { return to_double(a[1]); }) : kInfinity;
    const double obj = a[2] ? convert_arg("obj", [&] { return to_double(a[2]); }) : 0.0;
    std::optional<char32_t> vtype;
    if (a[3] && a[3] != Py_None) {
      vtype = convert_arg("vtype", [&] {
        if (!is_vartype(a[3])) raise_cast_error(a[3], "VarType");
        return kind_letter(reinterpret_cast<EnumObject*>(a[3])->code);
      });
    }
    std::string_view name = a[4] ? convert_arg("name", [&] { return to_str(a[4]); }) : std::string_view();

    kest::VarId id;
    {
      WriteGuard g(model_cell(m));
      id = g->add_variable(name, vtype, lb, ub);
      if (obj != 0.0) g->add_objective_terms(id, {&obj, 1});
    }
    return new_var(id, m->cell.get()).release();
  });
}

PyObject* model_addVars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* m = as_model(self);
    static const Signature sig("Model.addVars",
                               {{"lb", false, true}, {"ub", false, true}, {"obj", false, true},
                                {"vtype", false, true}, {"name", false, true}},
                               /*varargs=*/true);
    PyObject* a[5];
    PyObject* const* extents;
    Py_ssize_t ndim;
    sig.bind(args, nargs, kwnames, a, &extents, &ndim);
    ExclusiveUse use(m);

    BlockLayout layout = read_dimensions(extents, static_cast<std::size_t>(ndim));
    std::vector<std::uint64_t>& shape = layout.shape;
    std::size_t n = 1;
    if (std::find(shape.begin(), shape.end(), 0) != shape.end()) {
      n = 0;
    } else {
      for (auto e : shape) {
        if (__builtin_mul_overflow(n, static_cast<std::size_t>(e), &n))
          raise(PyExc_OverflowError, "The block has more members than fit in a machine word");
      }
    }

    auto given = [&](int i) { return a[i] && a[i] != Py_None; };
    const MemberBlock block{"addVars", shape, n, layout.keys.get()};
    // Numeric arrays of bounds and types stay in their buffers, to be read
    // straight into the model's columns.
    NumericArray lb_array, ub_array, vtype_array;
    auto numbers = [&](int i, double fallback, NumericArray* keep_open) {
      static const char* const kParams[] = {"lb", "ub", "obj"};
      return given(i) ? read_member_argument<double>(a[i], kParams[i], block, try_double, "a number",
                                                     ArrayUse::Numbers, keep_open)
                      : Param<double>{fallback};
    };
    auto lb = numbers(0, 0.0, &lb_array);
    auto ub = numbers(1, kInfinity, &ub_array);
    auto obj = numbers(2, 0.0, nullptr);
    auto vtype = given(3) ? read_member_argument<std::uint8_t>(a[3], "vtype", block, param_vartype, "a VarType",
                                                               ArrayUse::TypeCodes, &vtype_array)
                          : Param<std::uint8_t>{std::uint8_t{0}};
    Param<std::string> name{std::string()};
    if (given(4)) {
      try {
        name = read_member_argument<std::string>(a[4], "name", block, param_text, "a str", ArrayUse::None);
      } catch (const PyErrSet&) {
        // The reader's own refusals name the argument already.
        if (!PyErr_ExceptionMatches(PyExc_ValueError) || error_starts_with("addVars:")) throw;
        reraise_prefixed("addVars: 'name' ");
      }
    }

    // A short list would leave members without a value: refuse it before
    // anything is added. Longer lists are fine; the extra entries are unused.
    auto check_len = [&](const char* param, const auto& p) {
      if (p.is_list() && p.list().size() < n)
        raise(PyExc_ValueError, std::string("addVars: '") + param + "' has " +
                                    counted(p.list().size(), "entry", "entries") + " but the block has " +
                                    counted(n, "member", "members"));
    };
    check_len("lb", lb);
    check_len("ub", ub);
    check_len("obj", obj);
    check_len("vtype", vtype);
    check_len("name", name);

    // Past this a block cannot even be described; say so as memory, like a
    // block that merely fails to allocate.
    if (n > std::vector<std::string>().max_size()) raise(PyExc_MemoryError, "The block has too many members");

    // The block is described, not built: the cache makes room for it and the
    // values are written straight into its columns under the lock (a failed
    // allocation there leaves the model as it was). The names are ready first.
    kest::VariableBlock variables;
    variables.count = n;
    variables.names.count = n;
    if (name.is_list()) {
      std::vector<std::string> texts = std::move(name).to_vec(n);
      texts.resize(n);
      variables.names.kind = kest::NameRun::Kind::Texts;
      for (const auto& t : texts) {
        variables.names.arena += t;
        variables.names.ends.push_back(variables.names.arena.size());
      }
    } else {
      // A block keeps its naming rule, not n texts.
      variables.names.kind = kest::NameRun::Kind::Block;
      variables.names.prefix = name.single();
      variables.names.shape = shape;
      variables.names.labels = std::move(layout.labels);
    }
    auto bounds = [](const Param<double>& p, const NumericArray& array, kest::ColumnValues<double>& out) {
      if (array.is_open())
        out.write = [&array](std::span<double> to) { array.read(to); };
      else if (p.is_list())
        out.write = [&p](std::span<double> to) { std::copy_n(p.list().begin(), to.size(), to.begin()); };
      else
        out.value = p.single();
    };
    bounds(lb, lb_array, variables.lowers);
    bounds(ub, ub_array, variables.uppers);
    if (vtype_array.is_open()) {
      variables.types.write = [&](std::span<char32_t> to) { vtype_array.read_codes(to, kKindLetters); };
    } else if (vtype.is_list()) {
      variables.types.write = [&](std::span<char32_t> to) {
        for (std::size_t i = 0; i < to.size(); ++i) to[i] = kind_letter(vtype.list()[i]);
      };
    } else {
      variables.types.value = kind_letter(vtype.single());
    }
    std::vector<double> coeffs;
    if (obj.is_list() || obj.single() != 0.0) {
      coeffs = std::move(obj).to_vec(n);
      coeffs.resize(n);
    }

    // The handle too: once the variables are in, nothing may fail.
    PyRef vars = new_vars_run(std::move(shape), kest::VarId{}, n, m->cell.get());
    auto* block_object = reinterpret_cast<VarsObject*>(vars.get());
    block_object->keys = std::move(layout.keys);
    kest::VarId first;
    {
      WriteGuard g(model_cell(m));
      first = g->add_variable_block(std::move(variables));
      if (!coeffs.empty()) g->add_objective_terms(first, coeffs);
    }
    block_object->first = first;
    return vars.release();
  });
}

namespace {

PyMethodDef model_methods[] = {
    {"addVar", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_addVar)),
     METH_FASTCALL | METH_KEYWORDS, docs::kAddVar},
    {"addVars", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_addVars)),
     METH_FASTCALL | METH_KEYWORDS,
     docs::kAddVars},
    {"addConstr", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_addConstr)),
     METH_FASTCALL | METH_KEYWORDS, docs::kAddConstr},
    {"addConstrs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_addConstrs)),
     METH_FASTCALL | METH_KEYWORDS, docs::kAddConstrs},
    {"setObjective", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_setObjective)),
     METH_FASTCALL | METH_KEYWORDS, docs::kSetObjective},
    {"setParam", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_setParam)),
     METH_FASTCALL | METH_KEYWORDS, docs::kSetParam},
    {"setBackend", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_setBackend)),
     METH_FASTCALL | METH_KEYWORDS, docs::kSetBackend},
    {"optimize", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_optimize)),
     METH_FASTCALL | METH_KEYWORDS, docs::kOptimize},
    {"getVarByName", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_getVarByName)),
     METH_FASTCALL | METH_KEYWORDS, docs::kGetVarByName},
    {"getConstrs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_getConstrs)),
     METH_FASTCALL | METH_KEYWORDS, docs::kGetConstrs},
    {"getConstrByName", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_getConstrByName)),
     METH_FASTCALL | METH_KEYWORDS, docs::kGetConstrByName},
    {"chgCoeff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_chgCoeff)),
     METH_FASTCALL | METH_KEYWORDS, docs::kChgCoeff},
    {"getCoeff", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_getCoeff)),
     METH_FASTCALL | METH_KEYWORDS, docs::kGetCoeff},
    {"write", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_write)), METH_FASTCALL | METH_KEYWORDS,
     "write($self, path)\n--\n\nWrites the model as free MPS (.mps) or CPLEX-style LP (.lp), gzip-compressed when "
     "the path ends in .gz. Needs no backend. Names the format cannot carry are replaced by x_<position> and "
     "c_<position>."},
    {"__reduce__", model_reduce, METH_NOARGS, "Pickles the model: its variables, constraints, objective, settings "
     "and backend name (attached again before the copy's first solve)."},
    {"__copy__", model_copy, METH_NOARGS, "An independent copy of the model, as __deepcopy__."},
    {"__deepcopy__", model_deepcopy, METH_O, "An independent copy of the model with the same variable positions."},
    {"addMConstrs", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(model_addMConstrs)),
     METH_FASTCALL | METH_KEYWORDS, docs::kAddMConstrs},
    {nullptr, nullptr, 0, nullptr},
};

template <class E>
void* closure(E which) {
  return reinterpret_cast<void*>(static_cast<std::uintptr_t>(which));
}

PyGetSetDef model_getset[] = {
    {"ObjVal", model_get_ObjVal, nullptr, "", nullptr},
    {"X", model_get_X, nullptr, "The values of all variables in creation order as a numpy array, or None.", nullptr},
    {"Status", model_get_Status, nullptr,
     "The last solve's status (a KEST constant); KEST.LOADED before any solve and after a change.", nullptr},
    {"SolCount", model_get_solve_info, nullptr, "1 when the last solve left values to read, else 0.",
     closure(SolveInfoField::SolCount)},
    {"ObjBound", model_get_solve_info, nullptr, "The best bound on the objective (MIPs), or None.",
     closure(SolveInfoField::ObjBound)},
    {"MIPGap", model_get_solve_info, nullptr, "The relative gap of the incumbent to ObjBound (MIPs), or None.",
     closure(SolveInfoField::MIPGap)},
    {"Runtime", model_get_solve_info, nullptr, "Seconds the last solve took, or None.",
     closure(SolveInfoField::Runtime)},
    {"IterCount", model_get_solve_info, nullptr, "Simplex iterations of the last solve, or None.",
     closure(SolveInfoField::IterCount)},
    {"StatusText", model_get_solve_info, nullptr, "The backend's words on the last solve's status, or None.",
     closure(SolveInfoField::StatusText)},
    {"NumVars", model_get_count, nullptr, "The number of variables.", closure(ModelCount::Variables)},
    {"NumConstrs", model_get_count, nullptr, "The number of constraints.", closure(ModelCount::Constraints)},
    {"NumNZs", model_get_count, nullptr, "The number of constraint coefficients, repeats counted.",
     closure(ModelCount::Nonzeros)},
    {"Pi", model_get_result_vector, nullptr,
     "Constraint duals in creation order (d objective / d rhs) as a numpy array, or None.",
     closure(kest::ResultVector::ConstraintDuals)},
    {"RC", model_get_result_vector, nullptr, "Reduced costs of all variables in creation order, or None.",
     closure(kest::ResultVector::ReducedCosts)},
    {"Slack", model_get_result_vector, nullptr,
     "rhs - (expression + constant) of every constraint in creation order, or None.",
     closure(kest::ResultVector::ConstraintSlacks)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject ModelType_ = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.Model";
  t.tp_basicsize = sizeof(ModelObject);
  t.tp_dealloc = model_dealloc;
  t.tp_str = model_str;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  t.tp_doc = "Model(name)\n--\n\n";
  t.tp_traverse = model_traverse;
  t.tp_clear = model_clear;
  t.tp_methods = model_methods;
  t.tp_getset = model_getset;
  t.tp_new = model_new;
  return t;
}();

PyTypeObject* model_type() {
  if (!ModelType_.tp_dict) check_status(PyType_Ready(&ModelType_));
  return &ModelType_;
}

}  // namespace kestpy
