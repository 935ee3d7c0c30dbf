// Block-level helpers of keyed modelling: keys(), sum(*pattern) and
// prod(coeffs, *pattern). The sums are built in one pass over the matching
// members and simplified once, by the core's rule, which leaves what adding
// the terms one by one with the operators would.
#include <string>

#include "kestpy/args.h"
#include "kestpy/block_keys.h"
#include "kestpy/docs.h"
#include "kestpy/member_args.h"
#include "kestpy/objects.h"

namespace kestpy {

namespace {

VarsObject* as_vars(PyObject* self) { return reinterpret_cast<VarsObject*>(self); }

bool is_wildcard(PyObject* o) {
  return PyUnicode_Check(o) && PyUnicode_GET_LENGTH(o) == 1 && PyUnicode_READ_CHAR(o, 0) == '*';
}

std::size_t member_count(PyObject* self) { return block_members(self).size(); }

/// Calls each(position) for every member the pattern matches, in row-major
/// order: "*" matches any key of its dimension, anything else names one key
/// (or position). An empty pattern matches every member.
template <class Each>
void for_matching(PyObject* self, PyObject* const* pattern, std::size_t npattern, const char* where, Each&& each) {
  const VarsObject* vs = as_vars(self);
  const std::size_t members = member_count(self);
  if (npattern == 0) {
    for (std::size_t p = 0; p < members; ++p) each(p);
    return;
  }
  const bool sparse = vs->keys && vs->keys->sparse();
  const std::size_t width = sparse ? vs->keys->arity : vs->shape.size();
  if (npattern != width)
    raise(PyExc_TypeError, std::string(where) + ": the pattern has " + counted(npattern, "item", "items") +
                               " but the block's keys have " + std::to_string(width));
  if (sparse) {
    // Tuples are compared item by item; a fixed item that no key has is no
    // error, as a sparse set need not hold every combination.
    PyObject* keys = vs->keys->dims[0].keys.get();
    for (std::size_t p = 0; p < members; ++p) {
      PyObject* key = PyTuple_GET_ITEM(keys, static_cast<Py_ssize_t>(p));
      bool match = true;
      for (std::size_t j = 0; j < width && match; ++j) {
        if (is_wildcard(pattern[j])) continue;
        match = check_status(PyObject_RichCompareBool(PyTuple_GET_ITEM(key, static_cast<Py_ssize_t>(j)),
                                                      pattern[j], Py_EQ)) == 1;
      }
      if (match) each(p);
    }
    return;
  }
  const std::size_t ndim = vs->shape.size();
  std::vector<std::int64_t> fixed(ndim, -1);
  for (std::size_t d = 0; d < ndim; ++d)
    if (!is_wildcard(pattern[d])) fixed[d] = static_cast<std::int64_t>(dim_position(vs, d, pattern[d]));
  if (members == 0) return;
  if (!vs->fits) {
    // A hand-built shape too large to multiply: decode each member instead.
    for (std::size_t p = 0; p < members; ++p) {
      std::uint64_t rest = p;
      bool match = true;
      for (std::size_t d = ndim; d-- > 0;) {
        const std::uint64_t i = rest % vs->shape[d];
        rest /= vs->shape[d];
        if (fixed[d] >= 0 && i != static_cast<std::uint64_t>(fixed[d])) match = false;
      }
      if (match) each(p);
    }
    return;
  }
  // Only the matching members are visited: an odometer over the free dimensions.
  std::vector<std::uint64_t> stride(ndim, 1), index(ndim, 0);
  for (std::size_t d = ndim; d-- > 1;) stride[d - 1] = stride[d] * vs->shape[d];
  std::uint64_t position = 0;
  for (std::size_t d = 0; d < ndim; ++d) {
    if (fixed[d] >= 0) index[d] = static_cast<std::uint64_t>(fixed[d]);
    position += index[d] * stride[d];
  }
  while (true) {
    if (position < members) each(position);
    std::size_t d = ndim;
    while (d-- > 0) {
      if (fixed[d] >= 0) continue;
      if (++index[d] < vs->shape[d]) {
        position += stride[d];
        break;
      }
      position -= (index[d] - 1) * stride[d];
      index[d] = 0;
    }
    if (d == static_cast<std::size_t>(-1)) return;
  }
}

PyRef new_sum(const VarsObject* vs) { return new_linexpr(vs->model); }
kest::ScalarAffineFn& fn_of(const PyRef& e) { return reinterpret_cast<LinExprObject*>(e.get())->fn; }

}  // namespace

PyObject* vars_keys(PyObject* self, PyObject*) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const VarsObject* vs = as_vars(self);
    const std::size_t n = member_count(self);
    PyRef out = check(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t p = 0; p < n; ++p)
      PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(p), member_key(vs->shape, vs->keys.get(), p).release());
    return out.release();
  });
}

PyObject* vars_sum(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    const VarsObject* vs = as_vars(self);
    PyRef result = new_sum(vs);
    kest::ScalarAffineFn& fn = fn_of(result);
    fn.terms.clear();
    for_matching(self, args, static_cast<std::size_t>(nargs), "sum",
                 [&](std::size_t p) { fn.push_term(vs->member(p), 1.0); });
    fn.simplify();
    return result.release();
  });
}

PyObject* vars_prod(PyObject* self, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guard<PyObject*>(nullptr, [&] {
    if (nargs < 1) raise(PyExc_TypeError, "prod() missing 1 required positional argument: 'coeffs'");
    const VarsObject* vs = as_vars(self);
    PyObject* coeffs = args[0];
    PyRef result = new_sum(vs);
    kest::ScalarAffineFn& fn = fn_of(result);
    fn.terms.clear();
    const MemberBlock block{"prod", vs->shape, member_count(self), vs->keys.get()};
    if (PyRef dict = mapping_as_dict(coeffs)) {
      // Members whose key the dict lacks take no term.
      for_matching(self, args + 1, static_cast<std::size_t>(nargs - 1), "prod", [&](std::size_t p) {
        PyRef key = member_key(vs->shape, vs->keys.get(), p);
        PyObject* value = PyDict_GetItemWithError(dict.get(), key.get());
        if (!value) {
          if (PyErr_Occurred()) throw PyErrSet{};
          return;
        }
        PyRef held = PyRef::borrow(value);
        double c;
        if (!try_double(held.get(), c)) refuse_dict_value(held.get(), "coeffs", block, p, "a number");
        fn.push_term(vs->member(p), c);
      });
    } else {
      auto c = read_member_argument<double>(coeffs, "coeffs", block, try_double, "a number", ArrayUse::Numbers);
      if (c.is_list() && c.list().size() != block.members)
        raise(PyExc_ValueError, "prod: 'coeffs' has " + counted(c.list().size(), "entry", "entries") +
                                    " but the block has " + counted(block.members, "member", "members"));
      for_matching(self, args + 1, static_cast<std::size_t>(nargs - 1), "prod", [&](std::size_t p) {
        fn.push_term(vs->member(p), c.is_list() ? c.list()[p] : c.single());
      });
    }
    fn.simplify();
    return result.release();
  });
}

}  // namespace kestpy
