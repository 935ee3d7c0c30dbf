// Model.addConstr, Model.addConstrs and Model.setObjective.
//
// Every Python argument is converted before the write lock is taken, and the
// plain errors found under the lock (an unknown variable) are raised only
// after it is released: an exception unwinding through the guard would mark
// the model broken for good.
#include <optional>
#include <string>
#include <vector>

#include "core/debug_text.h"
#include "kestpy/args.h"
#include "kestpy/matrix.h"
#include "kestpy/objects.h"
#include "kestpy/param.h"

namespace kestpy {

namespace {

const ConstrObject* as_constr(PyObject* o) { return reinterpret_cast<const ConstrObject*>(o); }

/// Appends the function and set of every item to the batch. Nothing of the
/// batch is used when an item fails; the items drawn so far stay consumed.
void collect_constrs(PyObject* iterable, ModelObject* m, kest::ConstraintBatch& batch) {
  auto take = [&](PyObject* item) {
    if (!is_constr(item)) raise_cast_error(item, "Constr");
    require_model_of(m, item, "addConstrs", "an item of 'generator'");
    batch.push(as_constr(item)->fn, as_constr(item)->set);
  };
  if (PyList_CheckExact(iterable) || PyTuple_CheckExact(iterable)) {
    // Reading by position is what the sequence's own iterator does; nothing
    // here runs Python code, so the length cannot change under us.
    const bool list = PyList_CheckExact(iterable);
    const Py_ssize_t n = list ? PyList_GET_SIZE(iterable) : PyTuple_GET_SIZE(iterable);
    batch.reserve(static_cast<std::size_t>(n), 2 * static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) take(list ? PyList_GET_ITEM(iterable, i) : PyTuple_GET_ITEM(iterable, i));
    return;
  }
  PyRef it = check(PyObject_GetIter(iterable));
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) take(item.get());
  if (PyErr_Occurred()) throw PyErrSet{};
}

/// The first variable of `fn` that is not one of the model's `num_vars` variables.
std::optional<kest::VarId> find_unknown_var(const kest::ScalarAffineFn& fn, std::size_t num_vars) {
  for (const auto& t : fn.terms)
    if (t.var.index >= num_vars) return t.var;
  return std::nullopt;
}

std::optional<kest::VarId> find_unknown_var(const kest::ScalarFunctionType& fn, std::size_t num_vars) {
  if (const auto* s = fn.single()) {
    if (s->var.index >= num_vars) return s->var;
    return std::nullopt;
  }
  return find_unknown_var(*fn.affine(), num_vars);
}

/// The first variable of the batch that is not one of the model's `num_vars` variables.
std::optional<kest::VarId> find_unknown_var(const kest::ConstraintBatch& batch, std::size_t num_vars) {
  for (auto v : batch.vars)
    if (v >= num_vars) return kest::VarId{v};
  return std::nullopt;
}

/// ValueError "VarId(7) is not a variable of this model".
[[noreturn]] void raise_unknown_var(kest::VarId id) {
  raise(PyExc_ValueError, kest::debug_text(id) + " is not a variable of this model");
}

/// Runs apply(guard) under the write lock when every variable of `what` is one
/// of the model's; otherwise raises for the first unknown one once the lock
/// is released.
template <class What, class Apply>
void apply_if_known(ModelObject* m, const What& what, Apply&& apply) {
  std::optional<kest::VarId> unknown;
  {
    WriteGuard g(model_cell(m));
    unknown = find_unknown_var(what, g->num_variables());
    if (!unknown) apply(g);
  }
  if (unknown) raise_unknown_var(*unknown);
}

}  // namespace

kest::NameRun batch_names(PyObject* name, std::size_t count, const char* where) {
  // A prefix (or none: "Cons") stays a rule; the cache makes the texts on demand.
  kest::NameRun names;
  names.count = count;
  names.kind = kest::NameRun::Kind::Block;
  names.prefix = "Cons";
  names.shape = {count};
  if (name && name != Py_None) {
    auto param = Param<std::string>::from_py(name, param_text);
    if (param.is_list()) {
      const auto& texts = param.list();
      // A short list would leave constraints unnamed or, worse, dropped.
      if (texts.size() < count)
        raise(PyExc_ValueError, std::string(where) + ": 'name' has " + counted(texts.size(), "entry", "entries") +
                                    " but " + (count == 1 ? "there is " : "there are ") +
                                    counted(count, "constraint", "constraints"));
      names.kind = kest::NameRun::Kind::Texts;
      names.prefix.clear();
      names.shape.clear();
      for (std::size_t i = 0; i < count; ++i) {
        names.arena += texts[i];
        names.ends.push_back(names.arena.size());
      }
    } else {
      names.prefix = param.single();
    }
  }
  return names;
}

PyObject* model_addConstr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* m = as_model(self);
    static const Signature sig("Model.addConstr", {{"constr", true}, {"name"}});
    PyObject* a[2];
    sig.bind(args, nargs, kwnames, a);
    ExclusiveUse use(m);
    if (is_mconstr(a[0])) {
      (void)add_block(m, a[0], a[1], "addConstr");
      Py_RETURN_NONE;
    }
    const ConstrObject* c = convert_arg("constr", [&] {
      if (!is_constr(a[0])) raise_cast_error(a[0], "Constr");
      return as_constr(a[0]);
    });
    require_model_of(m, a[0], "addConstr", "'constr'");
    std::optional<std::string> name;
    if (a[1] && a[1] != Py_None) name.emplace(convert_arg("name", [&] { return to_str(a[1]); }));
    apply_if_known(m, c->fn, [&](WriteGuard& g) { (void)g->add_constraint_of(c->fn, c->set, std::move(name)); });
    Py_RETURN_NONE;
  });
}

PyObject* model_addConstrs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* m = as_model(self);
    static const Signature sig("Model.addConstrs", {{"generator", true}, {"name"}});
    PyObject* a[2];
    sig.bind(args, nargs, kwnames, a);
    ExclusiveUse use(m);

    kest::ConstraintBatch batch;
    collect_constrs(a[0], m, batch);
    const std::size_t count = batch.size();

    // The names are looked at only once the generator has been drawn.
    kest::NameRun names = batch_names(a[1], count, "addConstrs");

    apply_if_known(m, batch, [&](WriteGuard& g) { (void)g->add_constraint_batch(batch, std::move(names)); });
    Py_RETURN_NONE;
  });
}

PyObject* model_setObjective(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    auto* m = as_model(self);
    static const Signature sig("Model.setObjective", {{"expr", true}, {"sense", true}});
    PyObject* a[2];
    sig.bind(args, nargs, kwnames, a);
    ExclusiveUse use(m);
    const auto sense = convert_arg("sense", [&] {
      if (!is_sense(a[1])) raise_cast_error(a[1], "Sense");
      return static_cast<kest::OptimizationSense>(reinterpret_cast<EnumObject*>(a[1])->code);
    });
    if (!is_linexpr(a[0])) raise_cast_error(a[0], "LinExpr");
    require_model_of(m, a[0], "setObjective", "'expr'");
    const kest::ScalarAffineFn& fn = reinterpret_cast<LinExprObject*>(a[0])->fn;

    apply_if_known(m, fn, [&](WriteGuard& g) {
      // The function first, under the sense in force, then the sense, as
      // setting the two attributes one after the other does. Neither update
      // can fail here; a backend's refusal is its own business.
      try {
        (void)g->set_objective_of(fn, g->objective_sense().value_or(kest::OptimizationSense::Minimize));
      } catch (const kest::CutShort&) {
        // The backend is stale now and gets the whole objective when it is
        // rebuilt: the interrupted call still records its sense.
        (void)g->set_model_attr(kest::ModelAttr::ObjectiveSense, kest::AttrValue::sense(sense));
        throw;
      }
      (void)g->set_model_attr(kest::ModelAttr::ObjectiveSense, kest::AttrValue::sense(sense));
    });
    Py_RETURN_NONE;
  });
}

}  // namespace kestpy
