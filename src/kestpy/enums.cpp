// Sense and VarType: small immutable enumerations compared by code.
#include "kestpy/objects.h"

namespace kestpy {

namespace {

const char* const kSenseNames[] = {"Sense.MINIMIZE", "Sense.MAXIMIZE"};
const char* const kVarTypeNames[] = {"VarType.CONTINUOUS", "VarType.BINARY", "VarType.INTEGER"};

PyObject* enum_alloc(PyTypeObject* type, std::uint8_t code) {
  auto* self = PyObject_New(EnumObject, type);
  if (self) self->code = code;
  return reinterpret_cast<PyObject*>(self);
}

void enum_dealloc(PyObject* self) { PyObject_Free(self); }

PyObject* sense_repr(PyObject* self) {
  auto code = reinterpret_cast<EnumObject*>(self)->code;
  return PyUnicode_FromString(code < 2 ? kSenseNames[code] : "Sense.?");
}

PyObject* vartype_repr(PyObject* self) {
  auto code = reinterpret_cast<EnumObject*>(self)->code;
  return PyUnicode_FromString(code < 3 ? kVarTypeNames[code] : "VarType.?");
}

PyObject* enum_int(PyObject* self) { return PyLong_FromLong(reinterpret_cast<EnumObject*>(self)->code); }

PyObject* enum_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  const long long code = reinterpret_cast<EnumObject*>(self)->code;
  long long value = 0;
  if (PyObject_TypeCheck(other, Py_TYPE(self))) {
    value = reinterpret_cast<EnumObject*>(other)->code;
  } else {
    // The integer-index protocol; anything that does not fit in 64 bits or
    // has no __index__ is simply not comparable.
    PyRef idx = PyRef::steal(PyNumber_Index(other));
    if (!idx) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
    value = PyLong_AsLongLong(idx.get());
    if (value == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      Py_RETURN_NOTIMPLEMENTED;
    }
  }
  return PyBool_FromLong((op == Py_EQ) == (code == value));
}

PyNumberMethods enum_as_number = [] {
  PyNumberMethods m{};
  m.nb_int = enum_int;
  return m;
}();

PyTypeObject make_enum_type(const char* name, reprfunc repr) {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = name;
  t.tp_basicsize = sizeof(EnumObject);
  t.tp_dealloc = enum_dealloc;
  t.tp_repr = repr;
  t.tp_as_number = &enum_as_number;
  t.tp_hash = PyObject_HashNotImplemented;
  t.tp_richcompare = enum_richcompare;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION;
  return t;
}

PyTypeObject* ready_enum(PyTypeObject* type, std::initializer_list<const char*> members) {
  if (type->tp_dict) return type;  // already readied
  check_status(PyType_Ready(type));
  // Class attributes, one instance per member, created with the class.
  std::uint8_t code = 0;
  for (const char* member : members) {
    PyRef inst = check(enum_alloc(type, code++));
    check_status(PyDict_SetItemString(type->tp_dict, member, inst.get()));
  }
  PyType_Modified(type);
  return type;
}

}  // namespace

PyTypeObject SenseType_ = make_enum_type("builtins.Sense", sense_repr);
PyTypeObject VarTypeType_ = make_enum_type("builtins.VarType", vartype_repr);

PyTypeObject* sense_type() { return ready_enum(&SenseType_, {"MINIMIZE", "MAXIMIZE"}); }
PyTypeObject* vartype_type() { return ready_enum(&VarTypeType_, {"CONTINUOUS", "BINARY", "INTEGER"}); }

PyRef new_sense(std::uint8_t code) { return check(enum_alloc(sense_type(), code)); }
PyRef new_vartype(std::uint8_t code) { return check(enum_alloc(vartype_type(), code)); }

}  // namespace kestpy
