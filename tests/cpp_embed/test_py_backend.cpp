// PyBackend driven from C++ with an embedded interpreter: the paths the Python
// layer never takes (Interval sets, Bool/Sense/Function setting values, the
// SolverName/Silent/TimeLimit keys, the Prefix and Scalar forms of
// add_variables, update, set_model_attr, the getters that answer alone) and
// the calls and releases made from threads that do not hold the interpreter
// lock. The backend object is the tests' recording backend.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "bridge/bridge_optimizer.h"
#include "core/fault.h"
#include "kestpy/errors.h"
#include "kestpy/gil.h"
#include "kestpy/py_backend.h"

namespace kestpy {
namespace {

/// Runs Python statements in the tests' namespace.
void run(const std::string& code) {
  PyObject* main = PyImport_AddModule("__main__");
  PyObject* ns = PyModule_GetDict(main);
  PyRef r = PyRef::steal(PyRun_String(code.c_str(), Py_file_input, ns, ns));
  if (!r) {
    PyErr_Print();
    FAIL() << "Python failed: " << code;
  }
}

/// repr() of a Python expression in the tests' namespace.
std::string eval(const std::string& expr) {
  PyObject* ns = PyModule_GetDict(PyImport_AddModule("__main__"));
  PyRef r = PyRef::steal(PyRun_String(expr.c_str(), Py_eval_input, ns, ns));
  if (!r) {
    PyErr_Print();
    return "<error>";
  }
  PyRef s = PyRef::steal(PyObject_Repr(r.get()));
  return PyUnicode_AsUTF8(s.get());
}

PyRef global(const char* name) {
  return PyRef::borrow(PyDict_GetItemString(PyModule_GetDict(PyImport_AddModule("__main__")), name));
}

class Interpreter : public ::testing::Environment {
 public:
  void SetUp() override {
    Py_InitializeEx(0);
    run(std::string("import sys, gc, weakref\nsys.path.insert(0, r'") + KESTPY_TESTS_PYTHON_DIR +
        "')\nimport kestpy_recording\n");
  }
  // The interpreter is left to the process exit: the module's statics
  // (interned names) must not outlive a finalised interpreter.
};

class Embedded : public ::testing::Test {
 protected:
  void SetUp() override {
    run("rec = kestpy_recording.Recorder('m', None)");
    backend = std::make_unique<PyBackend>(global("rec"));
  }
  void TearDown() override {
    backend.reset();
    EXPECT_FALSE(PyErr_Occurred());
    PyErr_Clear();
  }
  std::string calls() { return eval("rec.calls"); }

  std::unique_ptr<PyBackend> backend;
};

kest::ScalarFunctionType affine(std::vector<kest::AffineTerm> terms, double constant) {
  return kest::ScalarAffineFn(std::move(terms), constant);
}

template <class F>
std::string fault_of(F&& f) {
  try {
    f();
  } catch (const kest::Fault& e) {
    return e.what();
  }
  return "<no fault>";
}

TEST_F(Embedded, IntervalSetIsAFaultBeforeAnyBackendCall) {
  EXPECT_EQ(fault_of([&] { backend->add_constraint(affine({{kest::VarId{0}, 1.0}}, 0.0),
                                                   kest::ScalarSetType::interval(0, 1), "c"); }),
            "Interval constraints not supported via PyBackend yet");
  std::vector<kest::ScalarFunctionType> fns{affine({}, 0), affine({}, 0), affine({}, 0)};
  std::vector<kest::ScalarSetType> sets{kest::ScalarSetType::less_than(1), kest::ScalarSetType::equal_to(2),
                                        kest::ScalarSetType::interval(0, 1)};
  EXPECT_EQ(fault_of([&] { backend->add_constraints(fns, sets, std::nullopt); }),
            "Interval constraints not supported via PyBackend yet");
  EXPECT_EQ(calls(), "[]");
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Embedded, SettingKeysAndValueKinds) {
  using kest::AttrValue;
  using kest::OptimizerAttr;
  EXPECT_TRUE(backend->set_optimizer_attr(OptimizerAttr::silent(), AttrValue::boolean(true)));
  EXPECT_TRUE(backend->set_optimizer_attr(OptimizerAttr::solver_name(), AttrValue::string("highs")));
  EXPECT_TRUE(backend->set_optimizer_attr(OptimizerAttr::time_limit(), AttrValue::floating(10.5)));
  EXPECT_TRUE(backend->set_optimizer_attr(OptimizerAttr::raw("Silent"), AttrValue::boolean(false)));
  EXPECT_TRUE(backend->set_optimizer_attr(OptimizerAttr::raw("threads"), AttrValue::integer(-3)));
  EXPECT_EQ(calls(),
            "[('set_optimizer_attr', ('Silent', True)), ('set_optimizer_attr', ('SolverName', 'highs')), "
            "('set_optimizer_attr', ('TimeLimit', 10.5)), ('set_optimizer_attr', ('Silent', False)), "
            "('set_optimizer_attr', ('threads', -3))]");
  // A bool arrives as a bool, not as 1 or 0.
  EXPECT_EQ(eval("[type(a[1]).__name__ for m, a in rec.calls]"), "['bool', 'str', 'float', 'bool', 'int']");
}

TEST_F(Embedded, SenseAndFunctionSettingValuesAreFaultsWithoutACall) {
  using kest::AttrValue;
  EXPECT_EQ(fault_of([&] {
              (void)backend->set_optimizer_attr(kest::OptimizerAttr::time_limit(),
                                                AttrValue::sense(kest::OptimizationSense::Maximize));
            }),
            "Unsupported attribute value type for PyBackend");
  EXPECT_EQ(fault_of([&] {
              (void)backend->set_optimizer_attr(kest::OptimizerAttr::raw("f"), AttrValue::function(affine({}, 1)));
            }),
            "Unsupported attribute value type for PyBackend");
  EXPECT_EQ(calls(), "[]");
}

TEST_F(Embedded, AddVariablesPassesEachFormAsItIs) {
  const double inf = std::numeric_limits<double>::infinity();
  auto ids = backend->add_variables(3, kest::NameType::prefix("x"), std::nullopt, kest::BoundType::scalar(0.0),
                                    kest::BoundType::scalar(10.0));
  EXPECT_EQ(ids.size(), 3u);
  backend->add_variables(2, kest::NameType::list({"a", ""}), std::vector<char32_t>{U'C', U'I'},
                         kest::BoundType::list({0.0, -1.5}), kest::BoundType::list({inf, 2.0}));
  backend->add_variables(0, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(calls(),
            "[('add_variables', (3, 'x', None, 0.0, 10.0)), "
            "('add_variables', (2, ['a', ''], ['C', 'I'], [0.0, -1.5], [inf, 2.0])), "
            "('add_variables', (0, None, None, None, None))]");
}

TEST_F(Embedded, SingleVariableFunctionsAndEmptyBatches) {
  EXPECT_TRUE(backend->set_objective(kest::SingleVariable{kest::VarId{4}}, kest::OptimizationSense::Maximize));
  backend->add_constraint(kest::SingleVariable{kest::VarId{2}}, kest::ScalarSetType::greater_than(1), std::nullopt);
  backend->add_constraints({}, {}, std::nullopt);
  EXPECT_EQ(calls(),
            "[('set_objective', ([4], [1.0], 0.0, 1)), ('add_constraint', ([2], [1.0], '>', 1.0, None, 0.0)), "
            "('add_constraints', ([], [], [], [], [], None))]");
}

TEST_F(Embedded, UpdateCallsTheBackendAndAMissingUpdateIsAFault) {
  EXPECT_TRUE(backend->update());
  EXPECT_EQ(calls(), "[('update', ())]");
  run("rec.hide('update')");
  const std::string fault = fault_of([&] { (void)backend->update(); });
  EXPECT_NE(fault.find("'update'"), std::string::npos) << fault;
  EXPECT_NE(fault.find("AttributeError"), std::string::npos) << fault;
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Embedded, OperationsAnsweredWithoutTheBackend) {
  EXPECT_TRUE(backend->set_optimizer_attr(kest::OptimizerAttr::raw("p"), kest::AttrValue::integer(1)));
  EXPECT_FALSE(backend->get_optimizer_attr(kest::OptimizerAttr::raw("p")).has_value());
  EXPECT_FALSE(backend->get_model_attr(kest::ModelAttr::ObjectiveSense).has_value());
  EXPECT_TRUE(backend->set_model_attr(kest::ModelAttr::Name, kest::AttrValue::string("n")));
  EXPECT_TRUE(backend->compute_conflict());
  EXPECT_EQ(eval("rec.methods()"), "['set_optimizer_attr']");
}

TEST_F(Embedded, BackendErrorsBecomeFaultsAndLeaveNoErrorSet) {
  run("rec.raise_on('optimize', ValueError('no solve'))");
  const std::string fault = fault_of([&] { (void)backend->optimize(); });
  EXPECT_NE(fault.find("ValueError: no solve"), std::string::npos) << fault;
  EXPECT_FALSE(PyErr_Occurred());
  // The adapter itself stays usable.
  run("del rec._raises['optimize']; rec.answer('optimize', 3)");
  auto status = backend->optimize();
  ASSERT_TRUE(status);
  EXPECT_EQ(status.value(), kest::SolveStatus::Infeasible);
}

// ---- threads that do not hold the interpreter lock

/// Lets go of the interpreter lock for the scope, as a long C++ computation would.
class WithoutInterpreter {
 public:
  WithoutInterpreter() : save_(PyEval_SaveThread()) {}
  ~WithoutInterpreter() { PyEval_RestoreThread(save_); }

 private:
  PyThreadState* save_;
};

TEST_F(Embedded, CallFromAThreadWithoutTheInterpreterLockAttachesItself) {
  run("rec.var_values[7] = 2.5");
  std::optional<double> value;
  std::string error;
  {
    WithoutInterpreter released;
    std::thread t([&] {
      try {
        value = backend->get_var_value(kest::VarId{7});
        EXPECT_TRUE(backend->update());
      } catch (const std::exception& e) {
        error = e.what();
      }
      EXPECT_FALSE(PyGILState_Check());  // given back on the way out
    });
    t.join();
  }
  EXPECT_EQ(error, "");
  ASSERT_TRUE(value.has_value());
  EXPECT_EQ(*value, 2.5);
  EXPECT_EQ(eval("rec.methods()"), "['get_var_value', 'update']");
}

TEST_F(Embedded, ReleaseWithoutTheInterpreterLockIsQueuedUntilTheNextAttach) {
  run("class Probe(kestpy_recording.Recorder):\n    pass\nprobe = Probe('p', None)\nalive = weakref.ref(probe)\n");
  auto probe = std::make_unique<PyBackend>(global("probe"));
  run("del probe");
  {
    WithoutInterpreter released;
    std::thread t([&] { probe.reset(); });  // no interpreter lock on this thread
    t.join();
  }
  // Not released yet: the reference waits for a thread to attach.
  EXPECT_EQ(eval("alive() is not None"), "True");
  EXPECT_TRUE(backend->update());  // any attach through the module drains the queue
  EXPECT_EQ(eval("alive() is None"), "True");
}

TEST_F(Embedded, BridgeDroppedOnAnotherThreadReleasesItsBackendLater) {
  run("class Probe(kestpy_recording.Recorder):\n    pass\nprobe = Probe('p', None)\nalive = weakref.ref(probe)\n");
  auto bridge = std::make_unique<kest::BridgeOptimizer>();
  bridge->add_variable("x", std::nullopt, std::nullopt, 4.0);
  ASSERT_TRUE(bridge->attach_backend(std::make_unique<PyBackend>(global("probe"))));
  run("del probe");
  EXPECT_EQ(eval("alive().calls"), "[('add_variables', (1, ['x'], ['C'], [0.0], [4.0]))]");
  {
    WithoutInterpreter released;
    std::thread t([&] { bridge.reset(); });
    t.join();
  }
  EXPECT_EQ(eval("alive() is not None"), "True");
  drain_pending_releases();
  EXPECT_EQ(eval("alive() is None"), "True");
}

}  // namespace
}  // namespace kestpy

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new kestpy::Interpreter);
  return RUN_ALL_TESTS();
}
