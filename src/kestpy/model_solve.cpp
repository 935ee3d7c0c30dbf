// Model: solver settings, backend selection, solving and the objective value.
#include <memory>
#include <optional>
#include <string>

#include "core/debug_text.h"
#include "kestpy/args.h"
#include "kestpy/buffers.h"
#include "kestpy/errors.h"
#include "kestpy/model_files.h"
#include "kestpy/objects.h"
#include "kestpy/py_backend.h"

#include <cstdint>

namespace kestpy {

namespace {

/// A setting value, trying integer, float, str and bool in that order; the
/// errors of the failed attempts are dropped.
kest::AttrValue setting_value(PyObject* v) {
  if (PyIndex_Check(v)) {
    try {
      return kest::AttrValue::integer(to_i64(v));
    } catch (const PyErrSet&) {
      // An int too large for a setting is refused, not read as a float.
      if (PyLong_Check(v) && PyErr_ExceptionMatches(PyExc_OverflowError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_OverflowError, "setParam: 'newvalue' %R does not fit a 64-bit integer", v);
        throw;
      }
      PyErr_Clear();
    }
  }
  double d = 0.0;
  if (try_double(v, d)) return kest::AttrValue::floating(d);
  if (PyUnicode_Check(v)) {
    try {
      return kest::AttrValue::string(std::string(to_str(v)));
    } catch (const PyErrSet&) {
      PyErr_Clear();
    }
  }
  if (PyBool_Check(v)) return kest::AttrValue::boolean(v == Py_True);
  raise(PyExc_TypeError, "Unsupported attribute value type");
}

}  // namespace

PyObject* model_setParam(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    ModelObject* m = as_model(self);
    static const Signature sig("Model.setParam", {{"paramname", true}, {"newvalue", true}});
    PyObject* a[2];
    sig.bind(args, nargs, kwnames, a);
    ExclusiveUse use(m);
    std::string name = convert_arg("paramname", [&] { return std::string(to_str(a[0])); });
    kest::AttrValue value = setting_value(a[1]);

    kest::Status status;
    {
      WriteGuard g(model_cell(m));
      status = g->set_optimizer_attr(kest::OptimizerAttr::raw(std::move(name)), std::move(value));
    }
    if (!status) raise(PyExc_RuntimeError, "Failed to set optimizer attr: " + kest::debug_text(status.error()));
    Py_RETURN_NONE;
  });
}

PyObject* model_setBackend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    ModelObject* m = as_model(self);
    static const Signature sig("Model.setBackend", {{"backend", true}});
    PyObject* a[1];
    sig.bind(args, nargs, kwnames, a);
    ExclusiveUse use(m);
    std::string backend = convert_arg("backend", [&] { return std::string(to_str(a[0])); });
    // The name picks the module kestpy_<backend>; a path cannot name one.
    if (backend.empty() || backend.front() == '.' || backend.find_first_of("/\\") != std::string::npos) {
      PyErr_Format(PyExc_ValueError,
                   "setBackend: 'backend' %R is not a backend name; give the name of a module kestpy_<name> "
                   "without the prefix, such as 'highs'",
                   a[0]);
      throw PyErrSet{};
    }

    // Import and construction run before the lock: their failure leaves the
    // model as it was.
    PyRef obj, factory, model_name;
    {
      const std::string module_name = "kestpy_" + backend;
      PyRef name = PyRef::steal(
          PyUnicode_FromStringAndSize(module_name.data(), static_cast<Py_ssize_t>(module_name.size())));
      PyRef module = name ? PyRef::steal(PyImport_Import(name.get())) : PyRef();
      factory = module ? PyRef::steal(PyObject_GetAttrString(module.get(), "Model")) : PyRef();
      model_name = factory ? PyRef::steal(PyUnicode_FromStringAndSize(
                                       m->name.data(), static_cast<Py_ssize_t>(m->name.size())))
                                 : PyRef();
      if (model_name) {
        PyObject* argv[3] = {nullptr, model_name.get(), Py_None};
        obj = PyRef::steal(PyObject_Vectorcall(factory.get(), argv + 1, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
      }
      if (!obj)
        throw_python_fault("Failed to set backend to '" + backend +
                           "'. Please ensure the corresponding module is available.: ");
    }

    // The backend object the model held before is released after the lock:
    // its finaliser may run Python code.
    auto adapter = std::make_unique<PyBackend>(obj, std::move(factory), std::move(model_name));
    PyRef previous;
    {
      WriteGuard g(model_cell(m));
      kest::Status status = g->attach_backend(std::move(adapter));
      // Thrown under the lock on purpose: a failed replay leaves this model broken.
      if (!status)
        throw kest::Fault("Failed to sync bridge optimizer to Python backend: " + kest::debug_text(status.error()));
      previous = std::move(m->backend);
      m->backend = std::move(obj);
      m->backend_name = backend;
    }
    Py_RETURN_NONE;
  });
}

PyObject* model_optimize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    ModelObject* m = as_model(self);
    static const Signature sig("Model.optimize", {});
    sig.bind(args, nargs, kwnames, nullptr);
    attach_pending_backend(self);
    ExclusiveUse use(m);
    std::optional<std::string> error;
    PyRef previous;  // released after the lock: its finaliser may run Python code
    {
      WriteGuard g(model_cell(m));
      kest::Result<kest::SolveStatus> r = g->optimize();
      if (!r) error = kest::debug_text(r.error());
      // A solve may have rebuilt a stale backend: the model holds the live one
      // (and lets the old one go, with the whole model it held).
      const auto* live = dynamic_cast<const PyBackend*>(g->backend());
      if (live != nullptr && live->object() != m->backend.get()) {
        previous = std::move(m->backend);
        m->backend = PyRef::borrow(live->object());
      }
    }
    // Raised only now, with the lock released: the interrupted solve has been
    // recorded and the model stays usable.
    if (raise_pending_interrupt()) throw PyErrSet{};
    if (error) raise(PyExc_RuntimeError, *error);
    Py_RETURN_NONE;
  });
}

PyObject* model_get_X(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    ModelObject* m = as_model(self);
    SharedUse use(m);
    std::optional<std::vector<double>> values;
    {
      ReadGuard g(model_cell(m));
      std::vector<kest::VarId> all(g->num_variables());
      for (std::size_t i = 0; i < all.size(); ++i) all[i] = kest::VarId{i};
      values = g->get_var_values(all);
    }
    if (!values) Py_RETURN_NONE;
    return numpy_array(std::move(*values)).release();
  });
}

PyObject* model_get_ObjVal(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    ModelObject* m = as_model(self);
    SharedUse use(m);
    std::optional<double> value;
    {
      ReadGuard g(model_cell(m));
      value = g->get_objective_value();
    }
    if (!value) Py_RETURN_NONE;
    return check(PyFloat_FromDouble(*value)).release();
  });
}

PyObject* model_get_Status(PyObject* self, void*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    ModelObject* m = as_model(self);
    SharedUse use(m);
    kest::SolveStatus status;
    {
      ReadGuard g(model_cell(m));
      status = g->status();
    }
    return check(PyLong_FromUnsignedLong(static_cast<unsigned long>(status))).release();
  });
}

PyObject* model_get_count(PyObject* self, void* which) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    ModelObject* m = as_model(self);
    SharedUse use(m);
    std::size_t n = 0;
    {
      ReadGuard g(model_cell(m));
      switch (static_cast<ModelCount>(reinterpret_cast<std::uintptr_t>(which))) {
        case ModelCount::Variables:
          n = g->num_variables();
          break;
        case ModelCount::Constraints:
          n = g->num_constraints();
          break;
        case ModelCount::Nonzeros:
          n = g->num_terms();
          break;
      }
    }
    return check(PyLong_FromSize_t(n)).release();
  });
}

PyObject* model_get_solve_info(PyObject* self, void* which) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    ModelObject* m = as_model(self);
    SharedUse use(m);
    std::optional<kest::SolveInfo> info;
    bool has_objective_value = false;
    const auto field = static_cast<SolveInfoField>(reinterpret_cast<std::uintptr_t>(which));
    {
      ReadGuard g(model_cell(m));
      info = g->get_solve_info();
      // A backend that does not count its solutions has one when it has a value.
      if (field == SolveInfoField::SolCount && (!info || !info->sol_count) && g->status() != kest::SolveStatus::Loaded)
        has_objective_value = g->get_objective_value().has_value();
    }
    std::optional<double> value;
    switch (field) {
      case SolveInfoField::SolCount:
        return check(PyLong_FromLongLong(info && info->sol_count ? *info->sol_count : has_objective_value ? 1 : 0))
            .release();
      case SolveInfoField::IterCount:
        if (!info || !info->iterations) Py_RETURN_NONE;
        return check(PyLong_FromLongLong(*info->iterations)).release();
      case SolveInfoField::StatusText:
        if (!info || !info->status_text) Py_RETURN_NONE;
        return check(PyUnicode_FromStringAndSize(info->status_text->data(),
                                                 static_cast<Py_ssize_t>(info->status_text->size())))
            .release();
      case SolveInfoField::ObjBound:
        if (info) value = info->obj_bound;
        break;
      case SolveInfoField::MIPGap:
        if (info) value = info->mip_gap;
        break;
      case SolveInfoField::Runtime:
        if (info) value = info->runtime;
        break;
    }
    if (!value) Py_RETURN_NONE;
    return check(PyFloat_FromDouble(*value)).release();
  });
}

PyObject* model_get_result_vector(PyObject* self, void* which) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    ModelObject* m = as_model(self);
    SharedUse use(m);
    std::optional<std::vector<double>> values;
    {
      ReadGuard g(model_cell(m));
      values = g->result_vector(static_cast<kest::ResultVector>(reinterpret_cast<std::uintptr_t>(which)));
    }
    if (!values) Py_RETURN_NONE;
    return numpy_array(std::move(*values)).release();
  });
}

}  // namespace kestpy
