// Model files and saved states at the Python boundary: Model.write,
// kestpy.read, and the Model's pickling and copying. The files are written
// and read with the interpreter lock released; writing holds the model's
// lock, reading builds a ModelData that goes into a new model only once the
// whole file has been read.
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "io/model_files.h"
#include "io/model_state.h"
#include "kestpy/args.h"
#include "kestpy/model_files.h"
#include "kestpy/objects.h"

namespace kestpy {

namespace {

/// The path of a str, bytes or os.PathLike argument, as the file system wants it.
std::string fs_path(PyObject* arg, const char* where) {
  PyRef p = PyRef::steal(PyOS_FSPath(arg));
  if (!p) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: 'path' must be a str, bytes or os.PathLike, not %.100s", where,
                 Py_TYPE(arg)->tp_name);
    throw PyErrSet{};
  }
  PyRef bytes = PyBytes_Check(p.get()) ? p : check(PyUnicode_EncodeFSDefault(p.get()));
  return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

kest::io::FileFormat format_for(const std::string& path, PyObject* arg, const char* where) {
  if (path.find('\0') != std::string::npos) raise(PyExc_ValueError, std::string(where) + ": 'path' holds a NUL byte");
  auto f = kest::io::format_of(path);
  if (!f) {
    PyErr_Format(PyExc_ValueError,
                 "%s: 'path' %R has an unknown suffix; use .mps or .lp, optionally followed by .gz", where, arg);
    throw PyErrSet{};
  }
  return *f;
}

[[noreturn]] void raise_file_error(const kest::FileError& e, PyObject* path_arg) {
  if (e.io) {
    PyRef exc = check(PyObject_CallFunction(PyExc_OSError, "isO", e.code, std::strerror(e.code), path_arg));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    throw PyErrSet{};
  }
  // A file's bytes quoted in the message need not be UTF-8.
  PyRef text = check(PyUnicode_DecodeUTF8(e.message.data(), static_cast<Py_ssize_t>(e.message.size()), "backslashreplace"));
  PyErr_SetObject(PyExc_ValueError, text.get());
  throw PyErrSet{};
}

/// The model's objective as an affine function (a single variable is 1 * x).
kest::ScalarAffineFn objective_of(kest::BridgeOptimizer& b, bool& present) {
  present = static_cast<bool>(b.objective());
  return b.objective().affine();
}

}  // namespace

PyObject* model_write(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* m = as_model(self);
    static const Signature sig("Model.write", {{"path", true}});
    PyObject* a[1];
    sig.bind(args, nargs, kwnames, a);
    const std::string path = fs_path(a[0], "write");
    const auto format = format_for(path, a[0], "write");
    SharedUse use(m);
    std::optional<kest::FileError> error;
    bool out_of_memory = false;
    {
      // The write lock: taking views seals the names' open run.
      WriteGuard g(model_cell(m));
      // A failed allocation is answered after the lock: the cache is whole
      // (nothing here changes it), so the model must not be marked broken.
      try {
        bool present = false;
        const kest::ScalarAffineFn objective = objective_of(g.bridge(), present);
        kest::ModelView view{m->name, g->all_variables(), g->all_constraints(), present ? &objective : nullptr,
                                 g->objective_sense().value_or(kest::OptimizationSense::Minimize)};
        // Whatever the writer throws is rethrown with the interpreter lock held.
        std::exception_ptr thrown;
        Py_BEGIN_ALLOW_THREADS
        try {
          error = kest::io::write_model_file(path, format, view);
        } catch (const std::bad_alloc&) {
          out_of_memory = true;
        } catch (...) {
          thrown = std::current_exception();
        }
        Py_END_ALLOW_THREADS
        if (thrown) std::rethrow_exception(thrown);
      } catch (const std::bad_alloc&) {
        out_of_memory = true;
      }
    }
    if (out_of_memory) throw std::bad_alloc();
    if (error) raise_file_error(*error, a[0]);
    Py_RETURN_NONE;
  });
}

PyRef model_from_data(kest::ModelData&& data, const kest::io::Settings* settings) {
  PyRef name = check(PyUnicode_DecodeUTF8(data.name.data(), static_cast<Py_ssize_t>(data.name.size()), "replace"));
  PyRef model = check(PyObject_CallOneArg(reinterpret_cast<PyObject*>(model_type()), name.get()));
  auto* m = as_model(model.get());
  WriteGuard g(model_cell(m));
  if (data.variables.size() > 0) (void)g->add_variable_batch(std::move(data.variables));
  if (data.constraints.size() > 0)
    (void)g->add_constraint_batch(data.constraints, std::move(data.constraint_names));
  if (data.has_objective) {
    kest::Status s = g->set_objective(kest::ScalarFunctionType(std::move(data.objective)), data.sense);
    if (!s) throw kest::Fault("a detached model refused its objective");
  }
  if (settings)
    for (const auto& [key, value] : *settings) {
      kest::Status s = g->set_optimizer_attr(key, value);
      if (!s) throw kest::Fault("a detached model refused a setting");
    }
  return model;
}

PyObject* read_model(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    static const Signature sig("read", {{"path", true}});
    PyObject* a[1];
    sig.bind(args, nargs, kwnames, a);
    const std::string path = fs_path(a[0], "read");
    const auto format = format_for(path, a[0], "read");
    kest::ModelData data;
    std::optional<kest::FileError> error;
    std::exception_ptr thrown;
    Py_BEGIN_ALLOW_THREADS
    try {
      error = kest::io::read_model_file(path, format, data);
      // Backends take no ranged rows yet: each becomes its two sides.
      if (!error) kest::io::split_interval_rows(data);
    } catch (...) {
      thrown = std::current_exception();
    }
    Py_END_ALLOW_THREADS
    if (thrown) std::rethrow_exception(thrown);
    if (error) raise_file_error(*error, a[0]);
    return model_from_data(std::move(data), nullptr).release();
  });
}

namespace {

/// The model's saved state as bytes.
PyRef model_state(ModelObject* m) {
  std::string state;
  {
    SharedUse use(m);
    WriteGuard g(model_cell(m));
    bool present = false;
    const kest::ScalarAffineFn objective = objective_of(g.bridge(), present);
    kest::ModelView view{m->name, g->all_variables(), g->all_constraints(), present ? &objective : nullptr,
                             g->objective_sense().value_or(kest::OptimizationSense::Minimize)};
    state = kest::io::save_state(view, g->optimizer_settings(), m->backend_name);
  }
  return check(PyBytes_FromStringAndSize(state.data(), static_cast<Py_ssize_t>(state.size())));
}

PyRef model_from_state(std::string_view bytes) {
  std::string problem;
  auto loaded = kest::io::load_state(bytes, problem);
  if (!loaded) raise(PyExc_ValueError, "Model state: " + problem);
  kest::io::split_interval_rows(loaded->model);  // as read() does: backends take no ranged rows
  PyRef model = model_from_data(std::move(loaded->model), &loaded->settings);
  // The backend is attached when the copy is first solved, in its own process.
  as_model(model.get())->backend_name = std::move(loaded->backend);
  return model;
}

PyObject* restore_model(PyObject*, PyObject* arg) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    if (!PyBytes_Check(arg)) raise(PyExc_TypeError, "_model_from_state: the state must be bytes");
    return model_from_state(std::string_view(PyBytes_AS_STRING(arg), static_cast<std::size_t>(PyBytes_GET_SIZE(arg))))
        .release();
  });
}

PyMethodDef restore_model_def = {"_model_from_state", restore_model, METH_O,
                                 "_model_from_state(state, /)\n--\n\nThe Model a pickled state describes."};

}  // namespace

PyObject* model_reduce(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    PyRef state = model_state(as_model(self));
    PyRef module = check(PyImport_ImportModule("kestpy"));
    PyRef restore = check(PyObject_GetAttrString(module.get(), "_model_from_state"));
    return check(Py_BuildValue("(O(O))", restore.get(), state.get())).release();
  });
}

PyObject* model_copy(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    PyRef state = model_state(as_model(self));
    return model_from_state(std::string_view(PyBytes_AS_STRING(state.get()),
                                             static_cast<std::size_t>(PyBytes_GET_SIZE(state.get()))))
        .release();
  });
}

PyObject* model_deepcopy(PyObject* self, PyObject*) noexcept { return model_copy(self, nullptr); }

void attach_pending_backend(PyObject* self) {
  auto* m = as_model(self);
  if (m->backend || m->backend_name.empty()) return;
  PyRef name = check(PyUnicode_FromStringAndSize(m->backend_name.data(), static_cast<Py_ssize_t>(m->backend_name.size())));
  PyRef done = check(PyObject_CallMethod(self, "setBackend", "O", name.get()));
}

void add_file_functions(PyObject* module) {
  PyRef module_name = check(PyModule_GetNameObject(module));
  static PyMethodDef read_def = {
      "read", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_model)), METH_FASTCALL | METH_KEYWORDS,
      "read(path)\n--\n\nA new Model from an MPS (free or fixed) or LP file, chosen by the suffix .mps or .lp, "
      "optionally followed by .gz. A malformed file raises ValueError naming the file, line and problem; a file "
      "that cannot be read raises OSError."};
  for (PyMethodDef* def : {&read_def, &restore_model_def}) {
    PyRef f = check(PyCFunction_NewEx(def, nullptr, module_name.get()));
    check_status(PyModule_AddObjectRef(module, def->ml_name, f.get()));
  }
}

}  // namespace kestpy
