#include "kestpy/buffers.h"

#include <string>

namespace kestpy {

namespace {

// ---- owned arrays ------------------------------------------------------------

struct BufferObject {
  PyObject_HEAD
  ArrayStorage* storage;
  void* data;
  Py_ssize_t count;
  Py_ssize_t itemsize;
  const char* format;
  bool writable;
};

int buffer_get(PyObject* self, Py_buffer* view, int flags) {
  auto* b = reinterpret_cast<BufferObject*>(self);
  if ((flags & PyBUF_WRITABLE) && !b->writable) {
    PyErr_SetString(PyExc_BufferError, "the array is read-only");
    view->obj = nullptr;
    return -1;
  }
  view->buf = b->data;
  view->obj = Py_NewRef(self);
  view->len = b->count * b->itemsize;
  view->readonly = b->writable ? 0 : 1;
  view->itemsize = b->itemsize;
  view->format = (flags & PyBUF_FORMAT) ? const_cast<char*>(b->format) : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) ? &b->count : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &b->itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

void buffer_dealloc(PyObject* self) {
  delete reinterpret_cast<BufferObject*>(self)->storage;
  PyObject_Free(self);
}

PyBufferProcs buffer_procs = {buffer_get, nullptr};

PyTypeObject BufferType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.ArrayBuffer";
  t.tp_basicsize = sizeof(BufferObject);
  t.tp_dealloc = buffer_dealloc;
  t.tp_as_buffer = &buffer_procs;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc = "An array that a model handed out, owning its memory.";
  t.tp_free = PyObject_Free;
  return t;
}();

PyTypeObject* buffer_type() {
  if (!BufferType.tp_dict) check_status(PyType_Ready(&BufferType));
  return &BufferType;
}

// ---- names -------------------------------------------------------------------

struct NameSeqObject {
  PyObject_HEAD
  kest::NameSlice names;
};

Py_ssize_t names_length(PyObject* self) {
  return static_cast<Py_ssize_t>(reinterpret_cast<NameSeqObject*>(self)->names.size());
}

PyObject* names_item(PyObject* self, Py_ssize_t i) noexcept {
  return guard<PyObject*>(nullptr, [&]() -> PyObject* {
    const auto& names = reinterpret_cast<NameSeqObject*>(self)->names;
    const auto n = static_cast<Py_ssize_t>(names.size());
    if (i < 0 || i >= n) raise(PyExc_IndexError, "name index out of range");
    std::string text;
    names.append(text, static_cast<std::uint64_t>(i));
    return check(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))).release();
  });
}

void names_dealloc(PyObject* self) {
  reinterpret_cast<NameSeqObject*>(self)->names.~NameSlice();
  PyObject_Free(self);
}

PySequenceMethods names_as_sequence = [] {
  PySequenceMethods m{};
  m.sq_length = names_length;
  m.sq_item = names_item;
  return m;
}();

PyTypeObject NameSeqType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "builtins.NameSequence";
  t.tp_basicsize = sizeof(NameSeqObject);
  t.tp_dealloc = names_dealloc;
  t.tp_as_sequence = &names_as_sequence;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  t.tp_doc = "The names of a batch of variables or constraints, made on demand.";
  t.tp_free = PyObject_Free;
  return t;
}();

}  // namespace

PyRef owned_buffer(std::unique_ptr<ArrayStorage> storage, void* data, std::size_t count, std::size_t itemsize,
                   const char* format, bool writable) {
  auto* b = PyObject_New(BufferObject, buffer_type());
  if (!b) throw PyErrSet{};
  b->storage = storage.release();
  b->data = data;
  b->count = static_cast<Py_ssize_t>(count);
  b->itemsize = static_cast<Py_ssize_t>(itemsize);
  b->format = format;
  b->writable = writable;
  return PyRef::steal(reinterpret_cast<PyObject*>(b));
}

PyRef name_sequence(kest::NameSlice names) {
  if (!NameSeqType.tp_dict) check_status(PyType_Ready(&NameSeqType));
  auto* o = PyObject_New(NameSeqObject, &NameSeqType);
  if (!o) throw PyErrSet{};
  new (&o->names) kest::NameSlice(std::move(names));
  return PyRef::steal(reinterpret_cast<PyObject*>(o));
}

PyRef numpy_array(std::vector<double> values, const std::vector<std::uint64_t>* shape) {
  // numpy is a dependency of the package; it is imported on the first bulk
  // read. No C++ static guard here: the import may let another thread run,
  // which would then wait on the guard while holding the interpreter lock.
  static PyObject* frombuffer = nullptr;
  if (!frombuffer) {
    PyRef numpy = check(PyImport_ImportModule("numpy"));
    PyRef f = check(PyObject_GetAttrString(numpy.get(), "frombuffer"));
    if (!frombuffer) frombuffer = f.release();  // kept for the life of the process
  }
  PyRef buffer = owned_buffer(std::move(values), /*writable=*/true);
  PyRef array = check(PyObject_CallOneArg(frombuffer, buffer.get()));  // float64 is frombuffer's default
  if (!shape || shape->size() == 1) return array;
  PyRef dims = check(PyTuple_New(static_cast<Py_ssize_t>(shape->size())));
  for (std::size_t d = 0; d < shape->size(); ++d)
    PyTuple_SET_ITEM(dims.get(), static_cast<Py_ssize_t>(d), check(PyLong_FromUnsignedLongLong((*shape)[d])).release());
  return check(PyObject_CallMethod(array.get(), "reshape", "O", dims.get()));
}

}  // namespace kestpy
