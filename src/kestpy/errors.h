#pragma once
// How errors cross the Python boundary.
//
//   PyErrSet      a Python exception is already set; the shim returns NULL.
//   kest::Fault   a fault: the shim raises the fatal-fault exception with the
//                 message (and, for PythonFault, the original as __cause__).
//
// Every Python-visible entry point is a noexcept shim that runs its C++ body
// through `guard` so that both kinds, and std::bad_alloc, are mapped in one place.
#include "core/fault.h"
#include "solver_api/optimizer.h"
#include "kestpy/py_ref.h"

#include <cxxabi.h>

#include <string>

namespace kestpy {

/// Thrown after a failed C-API call that left a Python exception set.
struct PyErrSet {};

/// A fault that carries a Python exception (a backend method raised, a result
/// did not convert). The exception object is kept for __cause__.
class PythonFault : public kest::Fault {
 public:
  PythonFault(const std::string& message, PyRef cause)
      : kest::Fault(message), message_(message), cause_(std::move(cause)) {}
  PyObject* cause() const { return cause_.get(); }
  /// The whole message: what() would end it at an embedded NUL, which the
  /// texts of Python errors and backend names may hold.
  const std::string& message() const { return message_; }

 private:
  std::string message_;
  PyRef cause_;
};

/// A KeyboardInterrupt or MemoryError out of a backend call: not a fault (see
/// kest::CutShort). The caller receives the exception itself.
class PythonCutShort : public kest::CutShort {
 public:
  PythonCutShort(Reason reason, PyRef exception) : kest::CutShort(reason), exception_(std::move(exception)) {}
  PyObject* exception() const { return exception_.get(); }

 private:
  PyRef exception_;
};

/// Checks a new reference from the C API: null means an error is set.
inline PyRef check(PyObject* p) {
  if (!p) throw PyErrSet{};
  return PyRef::steal(p);
}
/// Checks a C-API status: -1 means an error is set.
inline int check_status(int rc) {
  if (rc < 0) throw PyErrSet{};
  return rc;
}

/// The fatal-fault exception class, created once per process.
PyObject* panic_exception_type();

/// Raises a Python exception of `type` with `message` and throws PyErrSet.
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise(PyObject* type, const std::string& message);

/// Takes the currently set Python exception out of the interpreter and turns it
/// into a PythonFault whose message is `prefix` followed by the exception's
/// type, value and traceback; a KeyboardInterrupt or MemoryError becomes a
/// PythonCutShort carrying it instead.
[[noreturn]] void throw_python_fault(const std::string& prefix = {});

/// "TypeError: message\nTraceback..." of an exception object.
std::string describe_exception(PyObject* exc);

/// Maps a caught C++ exception onto the Python error state. Call from a catch(...).
void translate_current_exception() noexcept;

/// Never returns: blocks the calling thread until the process exits.
[[noreturn]] void park_exiting_thread() noexcept;

/// Runs body() and returns its result; any exception becomes a Python error and
/// `fail` is returned instead.
// A forced unwind (pthread_exit) carries no C++ object, so the catch below binds
// its reference to null; UBSan's null check would abort on that. The parameter
// is never read. (Inlined, the function would take its caller's checks.)
template <class Ret, class Body>
__attribute__((no_sanitize("null"), noinline)) Ret guard(Ret fail, Body&& body) noexcept {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    park_exiting_thread();
  } catch (...) {
    translate_current_exception();
    return fail;
  }
}

}  // namespace kestpy
