// Module initialisation: kestpy and its KEST submodule.
#include <dlfcn.h>

#include <string>

#include "kestpy/errors.h"
#include "kestpy/model_files.h"
#include "kestpy/objects.h"

namespace kestpy {
namespace {

PyModuleDef kestpy_module = {
    PyModuleDef_HEAD_INIT,
    "kestpy",
    "Linear and mixed-integer models in Python, solved through exchangeable backends.",
    // Not -1: for such a module the interpreter copies the first module's
    // namespace into later imports (a sub-interpreter's included) without
    // calling the initialisation function, which could then not refuse them.
    // With 0 every later import calls it, and it refuses.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The types and the process-wide state are static: one initialisation per
// process, whichever interpreter asks next.
bool initialised = false;

void add_type(PyObject* module, PyTypeObject* type, const char* name) {
  check_status(PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)));
}

/// Makes the module a package whose submodules (kestpy.testing, ...) live in
/// the directory "kestpy" beside the shared object. That directory has no
/// __init__.py, so the import system keeps loading this file for "import
/// kestpy"; __path__ is what lets "import kestpy.testing" look inside it.
void set_package_path(PyObject* module) {
  Dl_info info{};
  std::string dir;
  if (dladdr(reinterpret_cast<void*>(&set_package_path), &info) != 0 && info.dli_fname != nullptr) {
    dir = info.dli_fname;
    const auto slash = dir.rfind('/');
    dir = slash == std::string::npos ? std::string(".") : dir.substr(0, slash);
  }
  PyRef path = check(PyList_New(0));
  if (!dir.empty()) {
    dir += "/kestpy";
    PyRef entry = check(PyUnicode_DecodeFSDefaultAndSize(dir.data(), static_cast<Py_ssize_t>(dir.size())));
    check_status(PyList_Append(path.get(), entry.get()));
  }
  check_status(PyModule_AddObjectRef(module, "__path__", path.get()));
}

/// The five enumeration constants, each a fresh instance, and the statuses.
void register_kest(PyObject* kest) {
  const struct {
    const char* name;
    bool sense;
    std::uint8_t code;
  } constants[] = {
      {"CONTINUOUS", false, 0}, {"BINARY", false, 1}, {"INTEGER", false, 2},
      {"MINIMIZE", true, 0},    {"MAXIMIZE", true, 1},
  };
  for (const auto& c : constants) {
    PyRef value = c.sense ? new_sense(c.code) : new_vartype(c.code);
    check_status(PyModule_AddObjectRef(kest, c.name, value.get()));
  }
  // Solve statuses, plain ints: the numbers backends return from optimize.
  const struct {
    const char* name;
    kest::SolveStatus status;
  } statuses[] = {
      {"LOADED", kest::SolveStatus::Loaded},
      {"OTHER", kest::SolveStatus::Other},
      {"OPTIMAL", kest::SolveStatus::Optimal},
      {"INFEASIBLE", kest::SolveStatus::Infeasible},
      {"INF_OR_UNBD", kest::SolveStatus::InfOrUnbd},
      {"UNBOUNDED", kest::SolveStatus::Unbounded},
      {"ITERATION_LIMIT", kest::SolveStatus::IterationLimit},
      {"TIME_LIMIT", kest::SolveStatus::TimeLimit},
      {"SOLUTION_LIMIT", kest::SolveStatus::SolutionLimit},
      {"INTERRUPTED", kest::SolveStatus::Interrupted},
      {"NUMERIC", kest::SolveStatus::Numeric},
  };
  for (const auto& c : statuses)
    check_status(PyModule_AddIntConstant(kest, c.name, static_cast<long>(c.status)));
}

PyObject* init() noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    if (initialised) raise(PyExc_ImportError, "kestpy can only be initialised once per process");
    if (!panic_exception_type()) throw PyErrSet{};
    PyRef module = check(PyModule_Create(&kestpy_module));
    add_type(module.get(), var_type(), "Var");
    add_type(module.get(), linexpr_type(), "LinExpr");
    add_type(module.get(), constr_type(), "Constr");
    add_type(module.get(), constr_ref_type(), "ConstrRef");
    PyRef kest = check(PyModule_New("KEST"));
    register_kest(kest.get());
    check_status(PyModule_AddObjectRef(module.get(), "KEST", kest.get()));
    add_type(module.get(), model_type(), "Model");
    PyRef module_name = check(PyModule_GetNameObject(module.get()));
    PyRef quicksum = check(PyCFunction_NewEx(&quicksum_def, nullptr, module_name.get()));
    check_status(PyModule_AddObjectRef(module.get(), "quicksum", quicksum.get()));
    add_file_functions(module.get());
    add_pickle_functions(module.get());
    set_package_path(module.get());
    initialised = true;
    return module.release();
  });
}

}  // namespace
}  // namespace kestpy

PyMODINIT_FUNC PyInit_kestpy(void) { return kestpy::init(); }
