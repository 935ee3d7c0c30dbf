#include "kestpy/errors.h"

#include <unistd.h>

#include <exception>
#include <new>
#include <string_view>

namespace kestpy {

PyObject* panic_exception_type() {
  // Created once per process and never freed: it must outlive every module
  // object, and a second initialisation of the module is refused anyway.
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "kestpy_runtime.PanicException",
      "A fault inside kestpy: an internal expectation was violated. Derives from\n"
      "BaseException so that `except Exception` does not swallow it.",
      PyExc_BaseException, nullptr);
  return type;
}

void raise(PyObject* type, const char* message) {
  PyErr_SetString(type, message);
  throw PyErrSet{};
}

void raise(PyObject* type, const std::string& message) { raise(type, message.c_str()); }

// The text of obj for a fault message: str(), else repr() when str() raises;
// a lone surrogate is written as its escape rather than losing the text.
static std::string to_utf8(PyObject* obj) {
  for (PyObject* (*text)(PyObject*) : {PyObject_Str, PyObject_Repr}) {
    PyRef s = PyRef::steal(text(obj));
    PyRef bytes = s ? PyRef::steal(PyUnicode_AsEncodedString(s.get(), "utf-8", "backslashreplace")) : PyRef();
    if (bytes) return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
    PyErr_Clear();
  }
  return "<unprintable>";
}

std::string describe_exception(PyObject* exc) {
  std::string out = _PyType_Name(Py_TYPE(exc));
  std::string value = to_utf8(exc);
  if (!value.empty()) {
    out += ": ";
    out += value;
  }
  PyRef tb = PyRef::steal(PyException_GetTraceback(exc));
  if (tb) {
    PyRef mod = PyRef::steal(PyImport_ImportModule("traceback"));
    PyRef lines = mod ? PyRef::steal(PyObject_CallMethod(mod.get(), "format_tb", "O", tb.get())) : PyRef();
    if (lines) {
      out += "\nTraceback (most recent call last):\n";
      PyRef empty = PyRef::steal(PyUnicode_FromString(""));
      PyRef joined = empty ? PyRef::steal(PyUnicode_Join(empty.get(), lines.get())) : PyRef();
      if (joined) out += to_utf8(joined.get());
    }
    PyErr_Clear();
  }
  return out;
}

void throw_python_fault(const std::string& prefix) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
  if (v && trace) PyException_SetTraceback(v.get(), trace.get());
  // The user pressing Ctrl-C, or memory running out, is no fault of the
  // backend: the caller gets that very exception.
  if (v && PyErr_GivenExceptionMatches(v.get(), PyExc_KeyboardInterrupt))
    throw PythonCutShort(kest::CutShort::Reason::Interrupted, std::move(v));
  if (v && PyErr_GivenExceptionMatches(v.get(), PyExc_MemoryError))
    throw PythonCutShort(kest::CutShort::Reason::OutOfMemory, std::move(v));
  std::string message = prefix;
  message += v ? describe_exception(v.get()) : std::string("unknown Python error");
  // The message now carries the traceback. Its frames hold the caller's
  // variables, the model among them: a backend that keeps the exception it
  // raised would keep them all alive until the collector breaks that cycle.
  if (v) PyException_SetTraceback(v.get(), Py_None);
  throw PythonFault(message, std::move(v));
}

static void set_panic(std::string_view message, PyObject* cause) {
  PyObject* type = panic_exception_type();
  if (!type) return;  // the interpreter's error from creating the class stays set
  PyRef msg = PyRef::steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!msg) return;
  PyRef inst = PyRef::steal(PyObject_CallOneArg(type, msg.get()));
  if (!inst) return;
  if (cause) PyException_SetCause(inst.get(), PyRef::borrow(cause).release());
  PyErr_SetObject(type, inst.get());
}

void translate_current_exception() noexcept {
  try {
    throw;
  } catch (const PyErrSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "kestpy: error return without exception set");
  } catch (const PythonCutShort& c) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(c.exception())), c.exception());
  } catch (const kest::CutShort& c) {
    if (c.reason() == kest::CutShort::Reason::OutOfMemory) {
      PyErr_NoMemory();
    } else {
      PyErr_SetNone(PyExc_KeyboardInterrupt);
    }
  } catch (const PythonFault& f) {
    set_panic(f.message(), f.cause());
  } catch (const kest::Fault& f) {
    set_panic(f.what(), nullptr);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_panic(e.what(), nullptr);
  } catch (...) {
    set_panic("unknown C++ exception", nullptr);
  }
}

void park_exiting_thread() noexcept {
  // While the interpreter finalizes it ends a daemon thread that wants the
  // interpreter lock back by unwinding it (pthread_exit). That unwind must
  // not leave a Python entry point: the C frames above cannot take it, and
  // swallowing it aborts. Park the thread until the process exits instead,
  // as newer interpreters do themselves.
  for (;;) pause();
}

}  // namespace kestpy
