#pragma once
// Instance layouts and type objects of the module's classes. Every class is a
// static type named "builtins.<Name>", derives from object, cannot be
// subclassed and has no instance dictionary.
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/affine.h"
#include "core/function.h"
#include "core/names.h"
#include "core/sets.h"
#include "kestpy/cell.h"
#include "kestpy/member_ids.h"
#include "kestpy/py_ref.h"

namespace kestpy {

// Var and Vars hold their model's CellObject (absent when built by hand) and
// are then tracked by the cycle collector: a backend that keeps a Var closes
// a cycle through the cell. Every class below also carries the model's tag
// (model_tag.h), copied from the cell, so that the operators never look at it.
struct VarObject {
  PyObject_HEAD
  kest::VarId id;
  ModelTag model;
  PyRef cell;
};

struct BlockKeys;

struct VarsObject {
  PyObject_HEAD
  std::vector<std::uint64_t> shape;
  // A block of consecutive ids (every block addVars makes) keeps the first
  // and their count, 8 bytes a member less; any other keeps them in `table`.
  // Read them through member() and ids(), never through the fields.
  std::vector<kest::VarId> table;
  kest::VarId first;
  std::size_t count;  // ids held; a hand-built block may hold more or fewer than its shape says
  PyRef cell;
  ModelTag model;
  bool fits;         // the product of the extents fits in 64 bits
  bool consecutive;  // the ids are first, first + 1, ...; table is empty
  std::shared_ptr<const BlockKeys> keys;  // block_keys.h; null when every dimension is numbered

  std::size_t size() const { return count; }
  /// The id at flat position p (below size()).
  kest::VarId member(std::size_t p) const { return consecutive ? kest::VarId{first.index + p} : table[p]; }
  /// Every id held.
  MemberIds ids() const { return consecutive ? MemberIds(first, count) : MemberIds(std::span(table)); }
};

struct LinExprObject {
  PyObject_HEAD
  kest::ScalarAffineFn fn;
  ModelTag model;
};

struct ConstrObject {
  PyObject_HEAD
  kest::ScalarFunctionType fn;
  kest::ScalarSetType set;
  ModelTag model;
};

struct EnumObject {
  PyObject_HEAD
  std::uint8_t code;
};

struct ModelObject {
  PyObject_HEAD
  std::string name;
  PyRef cell;       // the CellObject
  PyRef backend;    // the current backend object, if any
  std::string backend_name;  // the name setBackend took; a copy attaches it before its first solve
  int borrow = 0;   // -1: in exclusive use; n > 0: n shared uses
};

// Type objects; each is readied on first use (throws PyErrSet on failure).
PyTypeObject* var_type();
PyTypeObject* vars_type();
PyTypeObject* linexpr_type();
PyTypeObject* constr_type();
PyTypeObject* sense_type();
PyTypeObject* vartype_type();
PyTypeObject* model_type();

extern PyTypeObject VarType_;
extern PyTypeObject VarsType_;
extern PyTypeObject LinExprType_;
extern PyTypeObject ConstrType_;
extern PyTypeObject SenseType_;
extern PyTypeObject VarTypeType_;
extern PyTypeObject ModelType_;

inline bool is_var(PyObject* o) { return Py_IS_TYPE(o, &VarType_); }
inline bool is_vars(PyObject* o) { return Py_IS_TYPE(o, &VarsType_); }
inline bool is_linexpr(PyObject* o) { return Py_IS_TYPE(o, &LinExprType_); }
inline bool is_constr(PyObject* o) { return Py_IS_TYPE(o, &ConstrType_); }
inline bool is_sense(PyObject* o) { return Py_IS_TYPE(o, &SenseType_); }
inline bool is_vartype(PyObject* o) { return Py_IS_TYPE(o, &VarTypeType_); }

// Constructors of new instances (new references; throw PyErrSet on failure).
// `cell` (a CellObject) is borrowed and may be null.
PyRef new_var(kest::VarId id, PyObject* cell);
/// A block of `ids` shaped `shape`; a run of consecutive ids is kept as one.
PyRef new_vars(std::vector<std::uint64_t> shape, std::vector<kest::VarId> ids, PyObject* cell);
/// A block shaped `shape` of the `count` consecutive ids from `first`.
PyRef new_vars_run(std::vector<std::uint64_t> shape, kest::VarId first, std::size_t count, PyObject* cell);
// A LinExpr or Constr may be a recycled instance: its (empty) function keeps
// the term storage of a freed one, for the operators to fill.
PyRef new_linexpr(ModelTag model);  // the function 0
PyRef new_constr(kest::ScalarSetType set, ModelTag model);  // the affine function 0 in `set`
PyRef new_sense(std::uint8_t code);
PyRef new_vartype(std::uint8_t code);

/// The ids that iterating a Vars block yields, in that order: no more than
/// its shape has members.
MemberIds block_members(PyObject* vars);

inline ModelObject* as_model(PyObject* self) { return reinterpret_cast<ModelObject*>(self); }

/// ValueError unless the Constr or LinExpr `o` may be given to model `m`:
/// "<where>: <what> holds variables of model 'a', not of this model 'b'".
void require_model_of(ModelObject* m, PyObject* o, const char* where, const char* what);

/// The model's cell; a fault when the collector has cleared it.
inline OptimizerCell& model_cell(ModelObject* m) { return cell_of(m->cell.get()); }

/// The module-level function quicksum.
extern PyMethodDef quicksum_def;

// Exclusive and shared use of a Model object, taken before any conversion.
class ExclusiveUse {
 public:
  explicit ExclusiveUse(ModelObject* m);
  ~ExclusiveUse() { m_->borrow = 0; }
  ExclusiveUse(const ExclusiveUse&) = delete;
  ExclusiveUse& operator=(const ExclusiveUse&) = delete;

 private:
  ModelObject* m_;
};

class SharedUse {
 public:
  explicit SharedUse(ModelObject* m);
  ~SharedUse() { --m_->borrow; }
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;

 private:
  ModelObject* m_;
};

// Model methods, defined across model.cpp (variables), model_constraints.cpp
// (constraints and objective) and model_solve.cpp (settings, backend, solving).
PyObject* model_addVar(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_addVars(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_addConstr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_addConstrs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_addMConstrs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
/// The names of a batch of `count` constraints from addConstrs' `name`
/// argument (may be null): a prefix, a list of texts, or None for "Cons".
kest::NameRun batch_names(PyObject* name, std::size_t count, const char* where);
PyObject* model_setObjective(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_setParam(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_setBackend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_optimize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_get_ObjVal(PyObject* self, void*) noexcept;
PyObject* model_get_X(PyObject* self, void*) noexcept;
PyObject* model_get_Status(PyObject* self, void*) noexcept;
// Getters shared by several attributes; the closure names which one.
enum class ModelCount : std::uintptr_t { Variables = 0, Constraints = 1, Nonzeros = 2 };
enum class SolveInfoField : std::uintptr_t {
  SolCount = 0, ObjBound = 1, MIPGap = 2, Runtime = 3, StatusText = 4, IterCount = 5
};
PyObject* model_get_count(PyObject* self, void* which) noexcept;         // a ModelCount
PyObject* model_get_solve_info(PyObject* self, void* which) noexcept;    // a SolveInfoField
PyObject* model_get_result_vector(PyObject* self, void* which) noexcept; // a kest::ResultVector

// Variable attributes read from and written to the cache (var_attributes.cpp);
// the getset closure names the attribute.
enum class VarAttr : std::uintptr_t { LB = 0, UB = 1, VType = 2, VarName = 3, Obj = 4, Start = 5, Index = 6 };
PyObject* var_get_attr(PyObject* self, void* which) noexcept;              // a VarAttr
int var_set_attr(PyObject* self, PyObject* value, void* which) noexcept;   // a VarAttr
PyObject* vars_get_attr(PyObject* self, void* which) noexcept;             // LB, UB, Obj or Start
PyObject* vars_setAttr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_getVarByName(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

// Constraint handles (constr_ref.cpp): a model's cell and a row's position.
PyTypeObject* constr_ref_type();
/// A new ConstrRef for `row` of the model whose CellObject is `cell` (borrowed).
PyRef new_constr_ref(std::uint64_t row, PyObject* cell);
PyObject* model_getConstrs(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_getConstrByName(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_chgCoeff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;
PyObject* model_getCoeff(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept;

}  // namespace kestpy
