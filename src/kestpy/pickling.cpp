// Pickling of Var, Vars, LinExpr and Constr. A Var is its position and a
// Vars its shape and positions: unpickled, they belong to no model (as ones
// built by hand) and stand for the variables at those positions of whichever
// model they are used with, such as the unpickled copy of their model.
// LinExpr and Constr travel by value, their functions' positions likewise.
#include <cstring>

#include "kestpy/args.h"
#include "kestpy/block_keys.h"
#include "kestpy/model_files.h"
#include "kestpy/objects.h"

namespace kestpy {

namespace {

PyRef bytes_of(const void* data, std::size_t size) {
  return check(PyBytes_FromStringAndSize(static_cast<const char*>(data), static_cast<Py_ssize_t>(size)));
}

/// The callable kestpy.<name> (pickle stores it by that name).
PyRef restorer(const char* name) {
  PyRef module = check(PyImport_ImportModule("kestpy"));
  return check(PyObject_GetAttrString(module.get(), name));
}

PyRef terms_state(const kest::ScalarAffineFn& f) {
  std::vector<std::uint64_t> vars(f.terms.size());
  std::vector<double> coeffs(f.terms.size());
  for (std::size_t k = 0; k < f.terms.size(); ++k) {
    vars[k] = f.terms[k].var.index;
    coeffs[k] = f.terms[k].coeff;
  }
  PyRef v = bytes_of(vars.data(), vars.size() * sizeof(std::uint64_t));
  PyRef c = bytes_of(coeffs.data(), coeffs.size() * sizeof(double));
  return check(Py_BuildValue("(OOd)", v.get(), c.get(), f.constant));
}

/// Terms from two bytes objects of equal count (u64 positions, doubles).
void terms_from(PyObject* vars, PyObject* coeffs, double constant, kest::ScalarAffineFn& out) {
  if (!PyBytes_Check(vars) || !PyBytes_Check(coeffs)) raise(PyExc_TypeError, "LinExpr state: terms must be bytes");
  const auto nv = static_cast<std::size_t>(PyBytes_GET_SIZE(vars)), nc = static_cast<std::size_t>(PyBytes_GET_SIZE(coeffs));
  if (nv % 8 != 0 || nv != nc) raise(PyExc_ValueError, "LinExpr state: the terms do not match");
  out.terms.resize(nv / 8);
  for (std::size_t k = 0; k < nv / 8; ++k) {
    std::uint64_t v;
    double c;
    std::memcpy(&v, PyBytes_AS_STRING(vars) + 8 * k, 8);
    std::memcpy(&c, PyBytes_AS_STRING(coeffs) + 8 * k, 8);
    out.terms[k] = kest::AffineTerm{kest::VarId{v}, c};
  }
  out.constant = constant;
}

PyObject* var_reduce(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    PyRef f = restorer("_var_at");
    return check(Py_BuildValue("(O(K))", f.get(), static_cast<unsigned long long>(reinterpret_cast<VarObject*>(self)->id.index)))
        .release();
  });
}

}  // namespace

// A keyed block carries its keys: a tuple with, per dimension, the keys
// (a tuple) or None where the dimension is numbered.
PyObject* vars_reduce(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* vs = reinterpret_cast<VarsObject*>(self);
    PyRef shape = bytes_of(vs->shape.data(), vs->shape.size() * sizeof(std::uint64_t));
    std::vector<kest::VarId> scratch;
    const std::span<const kest::VarId> members = vs->ids().span(scratch);
    PyRef ids = bytes_of(members.data(), members.size() * sizeof(kest::VarId));
    PyRef dims = PyRef::borrow(Py_None);
    if (vs->keys) {
      dims = check(PyTuple_New(static_cast<Py_ssize_t>(vs->keys->dims.size())));
      for (std::size_t d = 0; d < vs->keys->dims.size(); ++d) {
        PyObject* k = vs->keys->dims[d].keys ? vs->keys->dims[d].keys.get() : Py_None;
        PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(d), PyRef::borrow(k).release());
      }
    }
    PyRef f = restorer("_vars_at");
    return check(Py_BuildValue("(O(OOO))", f.get(), shape.get(), ids.get(), dims.get())).release();
  });
}

namespace {

PyObject* linexpr_reduce(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    PyRef state = terms_state(reinterpret_cast<LinExprObject*>(self)->fn);
    PyRef f = restorer("_linexpr_of");
    return check(Py_BuildValue("(OO)", f.get(), state.get())).release();
  });
}

PyObject* constr_reduce(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    auto* c = reinterpret_cast<ConstrObject*>(self);
    kest::ScalarAffineFn fn;
    const bool single = c->fn.single() != nullptr;
    if (single)
      fn.terms.push_back(kest::AffineTerm{c->fn.single()->var, 1.0});
    else
      fn = *c->fn.affine();
    PyRef terms = terms_state(fn);
    PyRef f = restorer("_constr_of");
    return check(Py_BuildValue("(O(OiIdd))", f.get(), terms.get(), single ? 1 : 0,
                               static_cast<unsigned>(c->set.kind), c->set.value, c->set.upper))
        .release();
  });
}

PyObject* var_at(PyObject*, PyObject* arg) noexcept {
  return guard<PyObject*>(nullptr, [&] { return new_var(kest::VarId{to_u64(arg)}, nullptr).release(); });
}

PyObject* vars_at(PyObject*, PyObject* args) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    PyObject *shape, *ids, *dims = Py_None;
    if (!PyArg_ParseTuple(args, "SS|O:_vars_at", &shape, &ids, &dims)) throw PyErrSet{};
    if (PyBytes_GET_SIZE(shape) % 8 != 0 || PyBytes_GET_SIZE(ids) % 8 != 0)
      raise(PyExc_ValueError, "Vars state: sizes are not whole numbers of entries");
    std::vector<std::uint64_t> s(static_cast<std::size_t>(PyBytes_GET_SIZE(shape)) / 8);
    std::vector<kest::VarId> i(static_cast<std::size_t>(PyBytes_GET_SIZE(ids)) / 8);
    std::memcpy(s.data(), PyBytes_AS_STRING(shape), s.size() * 8);
    std::memcpy(i.data(), PyBytes_AS_STRING(ids), i.size() * 8);
    std::shared_ptr<const BlockKeys> keys;
    if (dims != Py_None) {
      // The keys go through addVars's own reading: iterators, since a tuple
      // of integers alone would read as extents.
      if (!PyTuple_Check(dims) || static_cast<std::size_t>(PyTuple_GET_SIZE(dims)) != s.size())
        raise(PyExc_ValueError, "Vars state: one entry of keys per dimension");
      std::vector<PyRef> owned;
      std::vector<PyObject*> args_in;
      for (std::size_t d = 0; d < s.size(); ++d) {
        PyObject* k = PyTuple_GET_ITEM(dims, static_cast<Py_ssize_t>(d));
        owned.push_back(k == Py_None ? check(PyLong_FromUnsignedLongLong(s[d])) : check(PyObject_GetIter(k)));
        args_in.push_back(owned.back().get());
      }
      BlockLayout layout = read_dimensions(args_in.data(), args_in.size());
      if (layout.shape != s) raise(PyExc_ValueError, "Vars state: the keys do not match the shape");
      keys = std::move(layout.keys);
    }
    PyRef v = new_vars(std::move(s), std::move(i), nullptr);
    reinterpret_cast<VarsObject*>(v.get())->keys = std::move(keys);
    return v.release();
  });
}

PyObject* linexpr_of(PyObject*, PyObject* args) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    PyObject *vars, *coeffs;
    double constant;
    if (!PyArg_ParseTuple(args, "OOd:_linexpr_of", &vars, &coeffs, &constant)) throw PyErrSet{};
    kest::ScalarAffineFn fn;
    terms_from(vars, coeffs, constant, fn);
    PyRef e = new_linexpr(kNoModel);
    reinterpret_cast<LinExprObject*>(e.get())->fn = std::move(fn);
    return e.release();
  });
}

PyObject* constr_of(PyObject*, PyObject* args) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    PyObject* terms;
    int single;
    unsigned kind;
    double value, upper;
    if (!PyArg_ParseTuple(args, "O!pIdd:_constr_of", &PyTuple_Type, &terms, &single, &kind, &value, &upper))
      throw PyErrSet{};
    // Constraints made in Python are never intervals, and backends take none.
    if (kind > 2) raise(PyExc_ValueError, "Constr state: unknown set kind");
    PyObject *vars, *coeffs;
    double constant;
    if (!PyArg_ParseTuple(terms, "OOd", &vars, &coeffs, &constant)) throw PyErrSet{};
    kest::ScalarAffineFn fn;
    terms_from(vars, coeffs, constant, fn);
    kest::ScalarSetType set{static_cast<kest::ScalarSetType::Kind>(kind), value, upper};
    PyRef c = new_constr(set, kNoModel);
    auto* o = reinterpret_cast<ConstrObject*>(c.get());
    if (single) {
      if (fn.terms.size() != 1) raise(PyExc_ValueError, "Constr state: a single-variable function needs one term");
      o->fn = kest::SingleVariable{fn.terms[0].var};
    } else {
      o->fn = std::move(fn);
    }
    return c.release();
  });
}

PyMethodDef restore_defs[] = {
    {"_var_at", var_at, METH_O, "_var_at(position, /)\n--\n\nThe Var at a position, of no model (unpickling)."},
    {"_vars_at", vars_at, METH_VARARGS, "_vars_at(shape, ids, /)\n--\n\nA Vars block of no model (unpickling)."},
    {"_linexpr_of", linexpr_of, METH_VARARGS, "_linexpr_of(vars, coeffs, constant, /)\n--\n\nA LinExpr (unpickling)."},
    {"_constr_of", constr_of, METH_VARARGS, "_constr_of(terms, single, kind, value, upper, /)\n--\n\nA Constr (unpickling)."},
};

}  // namespace

PyMethodDef var_methods[] = {
    {"__reduce__", var_reduce, METH_NOARGS, "Pickles the Var as its position."},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef linexpr_methods[] = {
    {"__reduce__", linexpr_reduce, METH_NOARGS, "Pickles the expression by value."},
    {nullptr, nullptr, 0, nullptr},
};
PyMethodDef constr_methods[] = {
    {"__reduce__", constr_reduce, METH_NOARGS, "Pickles the constraint by value."},
    {nullptr, nullptr, 0, nullptr},
};

void add_pickle_functions(PyObject* module) {
  PyRef module_name = check(PyModule_GetNameObject(module));
  for (PyMethodDef& def : restore_defs) {
    PyRef f = check(PyCFunction_NewEx(&def, nullptr, module_name.get()));
    check_status(PyModule_AddObjectRef(module, def.ml_name, f.get()));
  }
}

}  // namespace kestpy
