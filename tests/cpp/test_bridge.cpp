// BridgeOptimizer: the cache, forwarding once attached, and attach_backend's replay.
#include <gtest/gtest.h>

#include <functional>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "bridge/bridge_optimizer.h"
#include "recording_optimizer.h"

namespace kest {
namespace {

using testing::Journal;
using testing::RecordingOptimizer;
using Calls = std::vector<std::string>;
constexpr auto none = std::nullopt;

const std::string kFx = "ScalarAffine(ScalarAffineFn { terms: [AffineTerm { var: VarId(0), coeff: 2.0 }], constant: 1.0 })";
ScalarFunctionType fx() { return ScalarAffineFn({{VarId{0}, 2.0}}, 1.0); }  // 2 x0 + 1, printed as kFx
ScalarFunctionType fn(std::uint64_t var, double coeff) { return ScalarAffineFn({{VarId{var}, coeff}}, 0.0); }
AttrValue fn_value(ScalarFunctionType f) { return AttrValue::function(std::move(f)); }
AttrValue sense_value(OptimizationSense s) { return AttrValue::sense(s); }
constexpr auto kMin = OptimizationSense::Minimize;
constexpr auto kMax = OptimizationSense::Maximize;

class Bridge : public ::testing::Test {
 protected:
  std::shared_ptr<Journal> journal = std::make_shared<Journal>();
  BridgeOptimizer bridge;

  std::unique_ptr<RecordingOptimizer> fake(const std::string& label) {
    return std::make_unique<RecordingOptimizer>(label, journal);
  }
  // Attaches a fresh fake, expecting success; the bridge owns it.
  RecordingOptimizer* attach(const std::string& label) {
    auto box = fake(label);
    RecordingOptimizer* view = box.get();
    Status s = bridge.attach_backend(std::move(box));
    EXPECT_TRUE(s.ok()) << debug_text(s.error());
    return view;
  }
  Calls calls(const std::string& label) const { return journal->of(label); }
  Calls var_texts() const {
    Calls out;
    for (std::size_t i = 0; i < bridge.num_variables(); ++i) out.push_back(debug_text(bridge.variable(VarId{i})));
    return out;
  }
  // Three variables (only the second named), three constraints (the middle
  // one unnamed), an objective set the way Model.setObjective does, a setting.
  void build_model() {
    bridge.add_variable(none, none, none, none);
    bridge.add_variable("b", U'I', -1.0, 5.0);
    bridge.add_variable(none, U'B', none, 1.0);
    bridge.add_constraint(fn(0, 1.0), ScalarSetType::less_than(4.0), "c0");
    bridge.add_constraint(fn(1, -1.0), ScalarSetType::greater_than(0.0), none);
    bridge.add_constraint(SingleVariable{VarId{2}}, ScalarSetType::equal_to(1.0), "c2");
    ASSERT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveFunction, fn_value(fx())).ok());
    ASSERT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveSense, sense_value(kMax)).ok());
    ASSERT_TRUE(bridge.set_optimizer_attr(OptimizerAttr::raw("Threads"), AttrValue::integer(4)).ok());
  }
  // What a backend attached after build_model() receives.
  static Calls model_replay() {
    return {
        R"(add_variables(3, List(["", "b", ""]), ['C', 'I', 'B'], List([0.0, -1.0, 0.0]), List([inf, 5.0, 1.0])))",
        "add_constraints([ScalarAffine(ScalarAffineFn { terms: [AffineTerm { var: VarId(0), coeff: 1.0 }], constant: "
        "0.0 }), ScalarAffine(ScalarAffineFn { terms: [AffineTerm { var: VarId(1), coeff: -1.0 }], constant: 0.0 }), "
        R"(SingleVariable(VarId(2))], [LessThan(4.0), GreaterThan(0.0), EqualTo(1.0)], ["c0", "", "c2"]))",
        "set_objective(" + kFx + ", Maximize)",
        R"(set_optimizer_attr(Raw("Threads"), Int(4)))",
    };
  }
};

// ---- defaults and identifiers ----

TEST_F(Bridge, FreshBridgeIsEmptyAndCannotSolve) {
  BridgeOptimizer made = BridgeOptimizer::make_new();
  for (BridgeOptimizer* b : {&bridge, &made}) {
    Result<SolveStatus> r = b->optimize();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(debug_text(r.error()), R"(Msg("No backend solver attached"))");
    EXPECT_EQ(b->get_objective_value(), none);
    EXPECT_EQ(b->get_var_value(VarId{0}), none);
    EXPECT_TRUE(b->num_variables() == 0 && b->num_constraints() == 0 && b->optimizer_settings().empty());
    EXPECT_FALSE(b->objective_function() || b->objective_sense() || b->has_backend() || b->synchronised());
  }
}

TEST_F(Bridge, VariablesGetDefaultsAndBatchNamesCountWithinTheBatch) {
  EXPECT_EQ(bridge.add_variable(none, none, none, none), VarId{0});
  EXPECT_EQ(bridge.add_variable("x", U'I', -2.0, 3.0), VarId{1});
  EXPECT_EQ(bridge.add_variables(2, NameType::prefix("y"), none, BoundType::scalar(1.0), none),
            (std::vector<VarId>{{2}, {3}}));
  bridge.add_variables(2, NameType::prefix(""), std::vector<char32_t>{U'B', U'I'}, none, BoundType::list({7.0, 8.0}));
  bridge.add_variables(1, none, none, none, none);
  bridge.add_variables(1, NameType::list({"p"}), none, BoundType::list({-1.0}), BoundType::scalar(0.5));
  EXPECT_TRUE(bridge.add_variables(0, NameType::prefix("z"), none, none, none).empty());
  EXPECT_EQ(var_texts(), (Calls{
                             R"(VarInfo { id: VarId(0), name: "", lower: 0.0, upper: inf, vtype: 'C' })",
                             R"(VarInfo { id: VarId(1), name: "x", lower: -2.0, upper: 3.0, vtype: 'I' })",
                             R"(VarInfo { id: VarId(2), name: "y_0", lower: 1.0, upper: inf, vtype: 'C' })",
                             R"(VarInfo { id: VarId(3), name: "y_1", lower: 1.0, upper: inf, vtype: 'C' })",
                             R"(VarInfo { id: VarId(4), name: "", lower: 0.0, upper: 7.0, vtype: 'B' })",
                             R"(VarInfo { id: VarId(5), name: "", lower: 0.0, upper: 8.0, vtype: 'I' })",
                             R"(VarInfo { id: VarId(6), name: "", lower: 0.0, upper: inf, vtype: 'C' })",
                             R"(VarInfo { id: VarId(7), name: "p", lower: -1.0, upper: 0.5, vtype: 'C' })",
                         }));
}

TEST_F(Bridge, ShortBatchListsAreNotReadPastTheEnd) {
  attach("A");
  auto ids = bridge.add_variables(3, NameType::list({"a"}), std::vector<char32_t>{U'I'}, BoundType::list({1.0, 2.0}),
                                  BoundType::list({}));
  EXPECT_EQ(ids.size(), 3u);
  // Entries missing from a short list count as not given.
  EXPECT_EQ(calls("A"), (Calls{R"(add_variable("a", 'I', 1.0, None))", "add_variable(None, None, 2.0, None)",
                               "add_variable(None, None, None, None)"}));
}

TEST_F(Bridge, ConstraintsGetDenseIdsAndStopAtTheShortestSequence) {
  EXPECT_EQ(bridge.add_constraint(fx(), ScalarSetType::less_than(1.0), none), ConstrId{0});
  auto ids = bridge.add_constraints({fn(0, 1.0), fn(1, 1.0), fn(2, 1.0)},
                                    {ScalarSetType::equal_to(0.0), ScalarSetType::interval(-1.0, 1.0)}, none);
  EXPECT_EQ(ids, (std::vector<ConstrId>{{1}, {2}}));
  ids = bridge.add_constraints({fn(0, 1.0), fn(1, 1.0)}, {ScalarSetType::equal_to(0.0), ScalarSetType::equal_to(0.0)},
                               std::vector<std::string>{"n"});
  EXPECT_EQ(ids, (std::vector<ConstrId>{{3}}));
  ASSERT_EQ(bridge.num_constraints(), 4u);
  std::vector<ConstrInfo> c;
  for (std::size_t i = 0; i < 4; ++i) c.push_back(bridge.constraint(ConstrId{i}));
  for (std::size_t i = 0; i < c.size(); ++i) EXPECT_EQ(c[i].id, ConstrId{i});
  EXPECT_EQ(c[0].name, "");
  EXPECT_EQ(c[0].function, fx());
  EXPECT_EQ(c[2].function, fn(1, 1.0));
  EXPECT_EQ(c[2].set, ScalarSetType::interval(-1.0, 1.0));
  EXPECT_EQ(c[3].name, "n");
}

// ---- forwarding ----

TEST_F(Bridge, ForwardsEachChangeOnlyOnceAttached) {
  bridge.add_variable("x", none, none, none);
  RecordingOptimizer* a = attach("A");
  ASSERT_EQ(calls("A").size(), 1u);  // the replay only

  EXPECT_EQ(bridge.add_variable(none, U'B', none, 2.0), VarId{1});
  EXPECT_EQ(bridge.add_variables(2, NameType::prefix("x"), none, BoundType::scalar(-1.0), none),
            (std::vector<VarId>{{2}, {3}}));
  EXPECT_EQ(bridge.add_constraint(fx(), ScalarSetType::less_than(1.0), none), ConstrId{0});
  EXPECT_EQ(bridge.add_constraints({fx(), fx()}, {ScalarSetType::equal_to(2.0), ScalarSetType::greater_than(3.0)}, none),
            (std::vector<ConstrId>{{1}, {2}}));
  EXPECT_TRUE(bridge.set_objective(fx(), kMin).ok());
  EXPECT_TRUE(bridge.set_optimizer_attr(OptimizerAttr::time_limit(), AttrValue::floating(1.5)).ok());
  EXPECT_TRUE(bridge.set_model_attr(ModelAttr::Name, AttrValue::string("m")).ok());
  a->optimize_result = SolveStatus::Infeasible;
  Result<SolveStatus> solved = bridge.optimize();
  ASSERT_TRUE(solved.ok());
  EXPECT_EQ(solved.value(), SolveStatus::Infeasible);
  EXPECT_EQ(bridge.get_var_value(VarId{3}), 103.0);
  EXPECT_EQ(bridge.get_objective_value(), 42.5);

  Calls got = calls("A");
  got.erase(got.begin());
  EXPECT_EQ(got, (Calls{
                     "add_variable(None, 'B', None, 2.0)",
                     R"(add_variable("x_0", None, -1.0, None))",
                     R"(add_variable("x_1", None, -1.0, None))",
                     "add_constraint(" + kFx + ", LessThan(1.0), None)",
                     "add_constraint(" + kFx + R"(, EqualTo(2.0), ""))",
                     "add_constraint(" + kFx + R"(, GreaterThan(3.0), ""))",
                     "set_objective(" + kFx + ", Minimize)",
                     "set_optimizer_attr(TimeLimit, Float(1.5))",
                     R"(set_model_attr(Name, String("m")))",
                     "optimize()",
                     "get_var_value(VarId(3))",
                     "get_objective_value()",
                 }));
  EXPECT_EQ(bridge.constraint(ConstrId{0}).function, fx());  // the cache keeps its own copy
}

TEST_F(Bridge, StatusAndResultsDescribeTheLastSolveUntilTheModelChanges) {
  bridge.add_variable("x", none, none, none);
  bridge.add_constraint(fx(), ScalarSetType::less_than(1.0), none);
  EXPECT_EQ(bridge.status(), SolveStatus::Loaded);
  EXPECT_FALSE(bridge.optimize().ok());  // detached: no solve, still Loaded
  EXPECT_EQ(bridge.status(), SolveStatus::Loaded);
  RecordingOptimizer* a = attach("A");

  const std::vector<std::function<void()>> changes = {
      [&] { bridge.add_variable(none, none, none, none); },
      [&] { bridge.add_constraint(fx(), ScalarSetType::greater_than(0.0), none); },
      [&] { (void)bridge.set_objective(fx(), kMax); },
      [&] { bridge.add_objective_terms(VarId{0}, std::vector<double>{2.0}); },
      [&] { (void)bridge.set_model_attr(ModelAttr::ObjectiveSense, AttrValue::sense(kMin)); },
      [&] { a = attach("B"); },
  };
  for (const auto& change : changes) {
    a->optimize_result = SolveStatus::TimeLimit;
    ASSERT_TRUE(bridge.optimize().ok());
    EXPECT_TRUE(bridge.set_optimizer_attr(OptimizerAttr::time_limit(), AttrValue::floating(1.0)).ok());
    EXPECT_EQ(bridge.status(), SolveStatus::TimeLimit);  // settings keep it
    // the counts are the cache's
    EXPECT_EQ(bridge.result_vector(ResultVector::ReducedCosts), std::vector<double>(bridge.num_variables(), 1.0));
    EXPECT_EQ(bridge.result_vector(ResultVector::ConstraintSlacks),
              std::vector<double>(bridge.num_constraints(), 2.0));
    EXPECT_EQ(bridge.get_solve_info()->status_text, "fake");
    change();
    EXPECT_EQ(bridge.status(), SolveStatus::Loaded);
    EXPECT_FALSE(bridge.result_vector(ResultVector::ConstraintDuals));
    EXPECT_FALSE(bridge.get_solve_info());
  }
  // A backend's Loaded is no outcome; a failed solve leaves the status as it was.
  a->optimize_result = SolveStatus::Loaded;
  ASSERT_TRUE(bridge.optimize().ok());
  EXPECT_EQ(bridge.status(), SolveStatus::Other);
  a->optimize_result = KestError::message("solver crashed");
  EXPECT_FALSE(bridge.optimize().ok());
  EXPECT_EQ(bridge.status(), SolveStatus::Other);
}

TEST_F(Bridge, BackendErrorsPassThroughAfterTheCacheIsUpdated) {
  RecordingOptimizer* a = attach("A");
  a->objective_error = KestError::constant_not_zero(2.0);
  a->rejected_setting = OptimizerAttr::raw("bad");
  a->setting_error = KestError::message("no such parameter");
  a->optimize_result = KestError::message("solver crashed");

  Status s = bridge.set_objective(fx(), kMax);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(debug_text(s.error()), "ScalarFunctionConstantNotZero { value: 2.0 }");
  EXPECT_EQ(bridge.objective_function(), fx());
  EXPECT_EQ(bridge.objective_sense(), kMax);

  s = bridge.set_optimizer_attr(OptimizerAttr::raw("bad"), AttrValue::boolean(true));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(debug_text(s.error()), R"(Msg("no such parameter"))");

  Result<SolveStatus> r = bridge.optimize();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(debug_text(r.error()), R"(Msg("solver crashed"))");

  // Both stayed cached, so the next backend receives them.
  attach("B");
  EXPECT_EQ(calls("B"), (Calls{"set_objective(" + kFx + ", Maximize)", R"(set_optimizer_attr(Raw("bad"), Bool(true)))"}));
}

TEST_F(Bridge, ObjectiveFunctionThenSenseSendsTheObjectiveTwice) {
  attach("A");
  ASSERT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveFunction, fn_value(fx())).ok());
  EXPECT_EQ(bridge.objective_sense(), kMin);
  ASSERT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveSense, sense_value(kMax)).ok());
  ASSERT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveFunction, fn_value(fn(1, 3.0))).ok());  // keeps the sense
  EXPECT_EQ(calls("A"), (Calls{"set_objective(" + kFx + ", Minimize)", "set_objective(" + kFx + ", Maximize)",
                               "set_objective(" + debug_text(fn(1, 3.0)) + ", Maximize)"}));
  EXPECT_EQ(bridge.objective_function(), fn(1, 3.0));
  EXPECT_EQ(bridge.objective_sense(), kMax);
}

TEST_F(Bridge, SenseBeforeAnyFunctionIsKeptWithoutABackendCall) {
  ASSERT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveSense, sense_value(kMin)).ok());
  attach("A");  // nothing to replay: a sense alone is no objective
  ASSERT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveSense, sense_value(kMax)).ok());
  EXPECT_EQ(bridge.objective_sense(), kMax);
  EXPECT_FALSE(bridge.objective_function().has_value());
  EXPECT_TRUE(calls("A").empty());
  ASSERT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveFunction, fn_value(fx())).ok());
  EXPECT_EQ(calls("A"), (Calls{"set_objective(" + kFx + ", Maximize)"}));
}

TEST_F(Bridge, WrongValueKindsForTheObjectiveAreIgnored) {
  attach("A");
  ASSERT_TRUE(bridge.set_objective(fx(), kMax).ok());
  EXPECT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveSense, AttrValue::integer(0)).ok());
  EXPECT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveFunction, AttrValue::floating(1.0)).ok());
  EXPECT_TRUE(bridge.set_model_attr(ModelAttr::ObjectiveFunction, sense_value(kMin)).ok());
  EXPECT_EQ(calls("A").size(), 1u);
  EXPECT_EQ(bridge.objective_function(), fx());
  EXPECT_EQ(bridge.objective_sense(), kMax);
}

TEST_F(Bridge, SettingsKeepOneEntryPerKeyAndOtherModelAttrsAreNotCached) {
  EXPECT_TRUE(bridge.set_optimizer_attr(OptimizerAttr::raw("Threads"), AttrValue::integer(2)).ok());
  EXPECT_TRUE(bridge.set_optimizer_attr(OptimizerAttr::raw("Threads"), AttrValue::integer(8)).ok());
  EXPECT_TRUE(bridge.set_optimizer_attr(OptimizerAttr::silent(), AttrValue::boolean(true)).ok());
  EXPECT_TRUE(bridge.set_model_attr(ModelAttr::Name, AttrValue::string("m")).ok());  // detached: accepted
  ASSERT_EQ(bridge.optimizer_settings().size(), 2u);
  EXPECT_EQ(bridge.get_optimizer_attr(OptimizerAttr::raw("Threads")), AttrValue::integer(8));
  attach("A");
  Calls got = calls("A");
  std::sort(got.begin(), got.end());  // settings replay in no particular order
  EXPECT_EQ(got, (Calls{R"(set_optimizer_attr(Raw("Threads"), Int(8)))", "set_optimizer_attr(Silent, Bool(true))"}));
}

// ---- attach_backend ----

TEST_F(Bridge, AttachingToAnEmptyBridgeMakesNoCallAndDroppingItDestroysTheBackend) {
  auto owner = std::make_unique<BridgeOptimizer>();
  ASSERT_TRUE(owner->attach_backend(fake("A")).ok());
  EXPECT_TRUE(owner->has_backend() && owner->synchronised());
  EXPECT_TRUE(calls("A").empty());
  owner.reset();
  EXPECT_EQ(calls("A"), Calls{"destroyed"});
}

TEST_F(Bridge, ReplayIsOneCallPerKindInIdOrderAndLeavesTheCache) {
  build_model();
  const Calls vars = var_texts();
  attach("A");
  EXPECT_EQ(calls("A"), model_replay());
  EXPECT_EQ(var_texts(), vars);
  EXPECT_EQ(bridge.num_constraints(), 3u);
  EXPECT_EQ(bridge.optimizer_settings().size(), 1u);
}

TEST_F(Bridge, RejectedSettingKeepsTheBridgeDetached) {
  build_model();
  ASSERT_TRUE(bridge.set_optimizer_attr(OptimizerAttr::raw("bad"), AttrValue::string("v")).ok());
  ASSERT_TRUE(bridge.set_optimizer_attr(OptimizerAttr::silent(), AttrValue::boolean(false)).ok());
  auto b = fake("B");
  b->rejected_setting = OptimizerAttr::raw("bad");
  b->setting_error = KestError::unsupported_constraint("f", "s");
  Status s = bridge.attach_backend(std::move(b));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(debug_text(s.error()), R"(UnsupportedConstraint { func: "f", set: "s" })");
  const Calls got = calls("B");
  ASSERT_GE(got.size(), 3u);
  // Stops at the rejected setting; the backend is destroyed right after it.
  EXPECT_EQ(got[got.size() - 2], R"(set_optimizer_attr(Raw("bad"), String("v")))");
  EXPECT_EQ(got.back(), "destroyed");
  EXPECT_FALSE(bridge.has_backend() || bridge.synchronised());
  bridge.add_variable("late", none, none, none);
  EXPECT_EQ(calls("B"), got);
}

TEST_F(Bridge, RejectedObjectiveKeepsTheEarlierBackend) {
  attach("A");
  build_model();
  const std::size_t a_calls = calls("A").size();
  auto b = fake("B");
  b->objective_error = KestError::set_attribute_not_allowed();
  Status s = bridge.attach_backend(std::move(b));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(debug_text(s.error()), "SetAttributeNotAllowed");
  Calls expected = model_replay();
  expected.back() = "destroyed";  // no setting after the failed objective
  EXPECT_EQ(calls("B"), expected);
  EXPECT_TRUE(bridge.synchronised());
  EXPECT_FALSE(journal->destroyed("A"));
  bridge.add_variable("late", none, none, none);
  EXPECT_EQ(calls("A").size(), a_calls + 1);
  EXPECT_EQ(calls("A").back(), R"(add_variable("late", None, None, None))");
}

// Parameter: the operation that faults, with "+" when a backend is already attached.
class FaultDuringReplay : public Bridge, public ::testing::WithParamInterface<std::string> {};

TEST_P(FaultDuringReplay, LeavesTheBridgeAsItWas) {
  std::string op = GetParam();
  const bool earlier = op.back() == '+';
  if (earlier) {
    op.pop_back();
    attach("A");
  }
  build_model();
  const std::size_t a_calls = calls("A").size();
  const Calls vars = var_texts();
  auto b = fake("B");
  b->fault_in = op;
  EXPECT_THROW((void)bridge.attach_backend(std::move(b)), Fault);
  EXPECT_TRUE(journal->destroyed("B"));
  EXPECT_FALSE(journal->destroyed("A"));
  EXPECT_EQ(bridge.has_backend(), earlier);
  EXPECT_EQ(bridge.synchronised(), earlier);
  EXPECT_EQ(var_texts(), vars);
  EXPECT_EQ(bridge.num_constraints(), 3u);
  const std::size_t b_calls = calls("B").size();
  bridge.add_variable(none, none, none, none);
  EXPECT_EQ(calls("B").size(), b_calls);
  EXPECT_EQ(calls("A").size(), a_calls + (earlier ? 1 : 0));
}

INSTANTIATE_TEST_SUITE_P(Ops, FaultDuringReplay,
                         ::testing::Values("add_variables", "add_constraints", "set_objective", "set_optimizer_attr",
                                           "set_optimizer_attr+"),
                         [](const auto& info) {
                           std::string n = info.param;
                           if (n.back() == '+') n.replace(n.size() - 1, 1, "_WhileAttached");
                           return n;
                         });

TEST_F(Bridge, SecondAttachReplaysEverythingThenDestroysTheFirst) {
  build_model();
  attach("A");
  bridge.add_variable("w", none, 0.5, none);
  attach("B");
  const Calls got = calls("B");
  ASSERT_EQ(got.size(), 4u);
  EXPECT_EQ(got[0], R"(add_variables(4, List(["", "b", "", "w"]), ['C', 'I', 'B', 'C'], List([0.0, -1.0, 0.0, 0.5]), )"
                    R"(List([inf, 5.0, 1.0, inf])))");
  // The first backend goes only after the last replay call into the second.
  EXPECT_EQ(journal->events.back(), "A: destroyed");
  EXPECT_EQ(journal->events.end()[-2], "B: " + got.back());
  EXPECT_EQ(bridge.get_objective_value(), 42.5);
  EXPECT_EQ(calls("B").back(), "get_objective_value()");
}

// ---- the operations nothing in the modelling layer calls ----

TEST_F(Bridge, UnusedOperationsAnswerFromTheCacheDetachedAndForwardAttached) {
  build_model();
  EXPECT_TRUE(bridge.update().ok());
  EXPECT_TRUE(bridge.compute_conflict().ok());
  EXPECT_EQ(bridge.get_optimizer_attr(OptimizerAttr::raw("Threads")), AttrValue::integer(4));
  EXPECT_EQ(bridge.get_optimizer_attr(OptimizerAttr::silent()), std::nullopt);
  EXPECT_EQ(bridge.get_model_attr(ModelAttr::Name), std::nullopt);

  attach("A");
  const std::size_t replayed = calls("A").size();
  EXPECT_TRUE(bridge.update().ok());
  EXPECT_TRUE(bridge.compute_conflict().ok());
  // Attached, the backend's answer wins even over a cached setting.
  EXPECT_EQ(bridge.get_optimizer_attr(OptimizerAttr::raw("Threads")), std::nullopt);
  EXPECT_EQ(bridge.get_model_attr(ModelAttr::Name), std::nullopt);
  // What the cache knows is answered without asking the backend.
  EXPECT_EQ(bridge.get_model_attr(ModelAttr::ObjectiveFunction), fn_value(fx()));
  EXPECT_EQ(bridge.get_model_attr(ModelAttr::ObjectiveSense), sense_value(kMax));
  EXPECT_EQ(bridge.get_model_attr(ModelAttr::NumberOfVariables), AttrValue::integer(3));
  EXPECT_EQ(bridge.get_model_attr(ModelAttr::NumberOfConstraints), AttrValue::integer(3));
  Calls got = calls("A");
  got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(replayed));
  EXPECT_EQ(got, (Calls{"update()", "compute_conflict()", R"(get_optimizer_attr(Raw("Threads")))",
                        "get_model_attr(Name)"}));
}

}  // namespace
}  // namespace kest

// ---- undoing a failed operation ----

namespace kest {

TEST(NameStoreTruncate, UndoesTheLatestNamesAcrossRunsAndInsideOne) {
  NameStore s;
  s.push("a");
  s.push("");
  s.push_underscore("p", 3);
  s.push("b");  // a, "", p_0, p_1, p_2, b
  s.truncate(4);
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ((std::vector<std::string>{s.at(0), s.at(1), s.at(2), s.at(3)}),
            (std::vector<std::string>{"a", "", "p_0", "p_1"}));
  s.push("c");
  EXPECT_EQ(s.at(4), "c");
  s.truncate(1);
  s.push_underscore("q", 2);
  EXPECT_EQ((std::vector<std::string>{s.at(0), s.at(1), s.at(2)}), (std::vector<std::string>{"a", "q_0", "q_1"}));
}

TEST(NameStoreLabels, ALabelledDimensionShowsItsLabelsAndATruncateKeepsThem) {
  NameRun run;
  run.kind = NameRun::Kind::Block;
  run.prefix = "f";
  run.shape = {2, 3};
  run.count = 6;
  run.labels = {{"Seattle", "San Diego"}, {}};  // the second dimension is numbered
  NameStore s;
  s.push("a");
  s.push_run(run);
  EXPECT_EQ(s.at(1), "f[Seattle,0]");
  EXPECT_EQ(s.at(6), "f[San Diego,2]");
  s.truncate(4);  // the cut inside the run keeps its first three names as texts
  ASSERT_EQ(s.size(), 4u);
  EXPECT_EQ(s.at(3), "f[Seattle,2]");
  std::string out;
  append_block_name(out, "", std::span<const std::uint64_t>(run.shape), 4, run.labels);
  EXPECT_EQ(out, "[San Diego,1]");
}

TEST(BridgeRollBack, RestoresVariablesConstraintsAndObjectiveToTheMark) {
  BridgeOptimizer b;
  b.add_variable("x", std::nullopt, 0.0, 4.0);
  b.add_constraint(ScalarAffineFn({{VarId{0}, 1.0}}, 0.0), ScalarSetType::less_than(3.0), std::string("c"));
  const double one = 1.0;
  b.add_objective_terms(VarId{0}, {&one, 1});
  const auto objective = b.objective_function();
  const auto mark = b.mark();

  VariableBatch batch;
  batch.lowers = {0.0, 1.0};
  batch.uppers = {2.0, 3.0};
  batch.types = {kContinuous, kContinuous};
  batch.names.kind = NameRun::Kind::Underscore;
  batch.names.prefix = "y";
  batch.names.count = 2;
  const VarId first = b.add_variable_batch(std::move(batch));
  const double costs[] = {5.0, 6.0};
  b.add_objective_terms(first, costs);
  b.add_constraint(ScalarAffineFn({{VarId{2}, 1.0}}, 0.0), ScalarSetType::greater_than(1.0), std::string("d"));
  b.roll_back(mark);

  EXPECT_EQ(b.num_variables(), 1u);
  EXPECT_EQ(b.num_constraints(), 1u);
  EXPECT_EQ(b.num_terms(), 1u);
  EXPECT_EQ(b.objective_function(), objective);
  EXPECT_EQ(b.variable(VarId{0}).name, "x");
  EXPECT_EQ(b.constraint(ConstrId{0}).name, "c");
  // and it grows again from there
  b.add_variable("z", std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(b.variable(VarId{1}).name, "z");
}

// Later blocks are written into the grown columns: each keeps its own values,
// and a backend speaking only add_variable gets one call per variable.
TEST_F(Bridge, LaterBlocksReadBackAndReachAnItemByItemBackend) {
  VariableBatch batch;
  batch.lowers = {0.0, 1.0};
  batch.uppers = {2.0, 3.0};
  batch.types = {kContinuous, kInteger};
  batch.names.count = 2;
  EXPECT_EQ(bridge.add_variable_batch(std::move(batch)), VarId{0});
  attach("A");
  VariableBlock block;
  block.count = 3;
  block.lowers.value = -1.0;
  block.uppers.write = [](std::span<double> out) {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = 10.0 + static_cast<double>(i);
  };
  block.types.value = kBinary;
  block.names.kind = NameRun::Kind::Underscore;
  block.names.prefix = "y";
  block.names.count = 3;
  EXPECT_EQ(bridge.add_variable_block(std::move(block)), VarId{2});
  VariableBatch later;
  later.lowers = {7.0};
  later.uppers = {8.0};
  later.types = {kInteger};
  later.names.count = 1;
  EXPECT_EQ(bridge.add_variable_batch(std::move(later)), VarId{5});

  ASSERT_EQ(bridge.num_variables(), 6u);
  auto fields = [&](std::uint64_t i) {
    const VarInfo v = bridge.variable(VarId{i});
    return std::make_tuple(v.name, v.lower, v.upper, v.vtype);
  };
  EXPECT_EQ(fields(1), std::make_tuple(std::string(), 1.0, 3.0, kInteger));
  EXPECT_EQ(fields(2), std::make_tuple(std::string("y_0"), -1.0, 10.0, kBinary));
  EXPECT_EQ(fields(4), std::make_tuple(std::string("y_2"), -1.0, 12.0, kBinary));
  EXPECT_EQ(fields(5), std::make_tuple(std::string(), 7.0, 8.0, kInteger));
  const Calls got = calls("A");
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[1], R"(add_variable("y_0", 'B', -1.0, 10.0))");
  EXPECT_EQ(got[3], R"(add_variable("y_2", 'B', -1.0, 12.0))");
  EXPECT_EQ(got[4], R"(add_variable("", 'I', 7.0, 8.0))");
}

TEST(ColumnTruncate, AShareKeepsItsValuesThroughAnUndoAndTheNextAppend) {
  Column<double> c;
  c.reserve_more(3);
  for (double v : {1.0, 2.0, 3.0}) c.push_back(v);
  SharedSpan<double> held = c.share(0, 3);
  c.truncate(1);  // shared: only the column's length shrinks
  EXPECT_EQ(c.size(), 1u);
  c.reserve_more(1);  // the column becomes its own again
  c.push_back(9.0);
  EXPECT_EQ((std::vector<double>(held.values.begin(), held.values.end())), (std::vector<double>{1.0, 2.0, 3.0}));
  EXPECT_EQ((std::vector<double>(c.span().begin(), c.span().end())), (std::vector<double>{1.0, 9.0}));
  held = {};
  c.truncate(0);  // not shared: in place
  EXPECT_TRUE(c.empty());
  c.push_back(4.0);
  EXPECT_EQ(c[0], 4.0);
}

// A first batch's arrays become the cache's rows as they are; an undo, a
// change of a coefficient and later rows leave the batch's arrays alone.
TEST(BridgeRowShares, AFirstBatchIsKeptWithoutACopyAndChangesCopyIt) {
  BridgeOptimizer b;
  b.add_variable("x", std::nullopt, 0.0, 4.0);
  b.add_variable("y", std::nullopt, 0.0, 4.0);
  ConstraintBatch batch;
  batch.push(ScalarAffineFn({{VarId{0}, 1.0}, {VarId{1}, 2.0}}, 0.5), ScalarSetType::less_than(3.0));
  batch.push(fn(1, 4.0), ScalarSetType::greater_than(1.0));
  const std::vector<double> coeffs(batch.coeffs.begin(), batch.coeffs.end());
  const auto mark = b.mark();
  b.add_constraint_batch(batch, NameRun{NameRun::Kind::Underscore, 2, "r", {}, {}, {}});
  EXPECT_EQ(b.all_constraints().coeffs.values.data(), batch.coeffs.data());
  b.roll_back(mark);
  EXPECT_EQ(b.num_constraints(), 0u);
  b.add_constraint_batch(batch, NameRun{NameRun::Kind::Underscore, 2, "r", {}, {}, {}});
  const std::uint64_t rows[] = {0}, vars[] = {1};
  const double values[] = {7.0};
  b.change_coefficients(rows, vars, values);
  b.add_constraint(fn(0, 9.0), ScalarSetType::equal_to(2.0), std::string("s"));
  EXPECT_EQ(std::vector<double>(batch.coeffs.begin(), batch.coeffs.end()), coeffs);
  const ConstraintColumns all = b.all_constraints();
  EXPECT_EQ(std::vector<double>(all.coeffs.values.begin(), all.coeffs.values.end()),
            (std::vector<double>{1.0, 7.0, 4.0, 9.0}));
  EXPECT_EQ(std::vector<std::uint64_t>(all.starts.begin(), all.starts.end()), (std::vector<std::uint64_t>{0, 2, 3, 4}));
  EXPECT_EQ(all.constants[0], 0.5);
}

TEST(CachedObjective, KeepsTermsAsGivenMergesAppendsOnReadAndLeavesSharesAlone) {
  CachedObjective o;
  // unsorted, a repeat and a zero stay as given until terms are appended
  const ScalarAffineFn given({{VarId{3}, 2.0}, {VarId{1}, 1.0}, {VarId{3}, -2.0}, {VarId{0}, 0.0}}, 1.5);
  o.assign(given);
  EXPECT_EQ(o.function(), ScalarFunctionType(given));
  const ObjectiveColumns sent = o.columns();
  const double more[] = {4.0, 0.0, 5.0};
  o.append(VarId{4}, more, 2);
  // then the whole function reads merged, as the core simplifies it
  EXPECT_EQ(o.function(), ScalarFunctionType(ScalarAffineFn({{VarId{1}, 1.0}, {VarId{4}, 4.0}, {VarId{6}, 5.0}}, 1.5)));
  EXPECT_EQ(std::vector<std::uint32_t>(sent.vars.values.begin(), sent.vars.values.end()),
            (std::vector<std::uint32_t>{3, 1, 3, 0}));

  // a single variable becomes affine by an append and comes back by a roll-back
  o.assign(ScalarFunctionType(SingleVariable{VarId{2}}));
  const auto mark = o.mark();
  o.append(VarId{0}, more, 2);
  EXPECT_FALSE(o.single());
  o.roll_back(mark);
  EXPECT_EQ(o.function(), ScalarFunctionType(SingleVariable{VarId{2}}));
}

}  // namespace kest
