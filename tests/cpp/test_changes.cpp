// Changes of the cache: coefficients in place and through the side table,
// what views and replays then read, renames and shares handed out before.
#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "bridge/bridge_optimizer.h"

namespace kest {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Row 0: x0 + 2 x1 + 3 x0 (x0 twice) <= 4; row 1: x2 (a single variable) >= 1.
ConstraintTable rows() {
  ConstraintTable t;
  t.push(ScalarAffineFn({{VarId{0}, 1.0}, {VarId{1}, 2.0}, {VarId{0}, 3.0}}, 0.0), ScalarSetType::less_than(4.0), "a");
  t.push(SingleVariable{VarId{2}}, ScalarSetType::greater_than(1.0), "b");
  return t;
}

std::vector<std::pair<std::uint32_t, double>> terms(const ConstraintColumns& c, std::size_t r) {
  std::vector<std::pair<std::uint32_t, double>> out;
  for (auto k = c.starts[r] - c.starts[0]; k < c.starts[r + 1] - c.starts[0]; ++k)
    out.emplace_back(c.vars[k], c.coeffs[k]);
  return out;
}

TEST(CacheChanges, CoefficientsInPlaceAndInTheSideTableFoldIntoTheRows) {
  ConstraintTable t = rows();
  // A backend may keep the shared term arrays of a view (not its spans).
  const ConstraintColumns view = t.columns(0, 2);
  const SharedSpan<std::uint32_t> held_vars = view.vars;
  const SharedSpan<double> held_coeffs = view.coeffs;
  EXPECT_EQ(t.coefficient(0, 0), 4.0);         // repeats summed
  t.set_coefficient(0, 1, 5.0);                // once in the row: in place
  t.set_coefficient(0, 0, 7.0);                // twice: one term from now on
  t.set_coefficient(1, 0, -1.0);               // new in a single-variable row
  t.set_coefficient(1, 2, 0.0);                // taken out
  EXPECT_EQ(t.terms(), 3u);
  EXPECT_EQ(t.coefficient(0, 0), 7.0);
  EXPECT_EQ(t.coefficient(1, 2), 0.0);
  ConstrInfo b = t.info(ConstrId{1});
  ASSERT_TRUE(b.function.affine());
  ASSERT_EQ(b.function.affine()->terms.size(), 1u);
  EXPECT_EQ(b.function.affine()->terms[0].var, VarId{0});

  ConstraintColumns folded = t.columns(0, 2);
  using T = std::vector<std::pair<std::uint32_t, double>>;
  EXPECT_EQ(terms(folded, 0), (T{{1, 5.0}, {0, 7.0}}));
  EXPECT_EQ(terms(folded, 1), (T{{0, -1.0}}));
  EXPECT_EQ(t.terms(), 3u);
  EXPECT_EQ(std::vector<std::uint32_t>(held_vars.values.begin(), held_vars.values.end()),
            (std::vector<std::uint32_t>{0, 1, 0, 2}));  // untouched
  EXPECT_EQ(std::vector<double>(held_coeffs.values.begin(), held_coeffs.values.end()),
            (std::vector<double>{1.0, 2.0, 3.0, 1.0}));

  t.set_coefficient(0, 1, 0.0);
  t.truncate(1);  // a row dropped with its edits
  EXPECT_EQ(t.terms(), 1u);
}

TEST(CacheChanges, SetsRangesAndNamesChangeWhatViewsRead) {
  ConstraintTable t = rows();
  NameSlice before = t.names(0, 2);
  t.set_set(1, ScalarSetType::interval(-1.0, 2.0));
  t.set_set(0, ScalarSetType::equal_to(3.0));
  const std::string renamed[] = {"c"};
  const std::uint64_t ids[] = {1};
  t.rename(ids, renamed);
  EXPECT_EQ(t.set(1), ScalarSetType::interval(-1.0, 2.0));
  EXPECT_EQ(t.columns(0, 2).set(0), ScalarSetType::equal_to(3.0));
  EXPECT_EQ(t.columns(1, 1).names.at(0), "c");
  EXPECT_EQ(before.at(1), "b");  // a slice keeps the names it saw
  t.set_set(1, ScalarSetType::greater_than(0.5));
  EXPECT_EQ(t.info(ConstrId{1}).set, ScalarSetType::greater_than(0.5));
}

TEST(CacheChanges, BridgeFindsNamesAndReadsObjectiveCoefficients) {
  BridgeOptimizer b;
  for (auto name : {"x", "y", "x"}) b.add_variable(name, std::nullopt, 0.0, kInf);
  const std::uint64_t vars[] = {2, 0, 2};
  const double coeffs[] = {1.0, 4.0, 5.0};  // the later entry for x2 wins
  b.change_objective_coefficients(vars, coeffs);
  const VarId all[] = {VarId{0}, VarId{1}, VarId{2}};
  EXPECT_EQ(b.objective_coefficients(all), (std::vector<double>{4.0, 0.0, 5.0}));
  EXPECT_EQ(b.find_variable("x"), 0u);  // the first of two
  const std::string names[] = {"z"};
  const std::uint64_t first[] = {0};
  b.change_variable_names(first, names);
  EXPECT_EQ(b.find_variable("x"), 2u);
  EXPECT_EQ(b.find_variable("z"), 0u);
  EXPECT_EQ(b.find_variable("w"), std::nullopt);
}

}  // namespace
}  // namespace kest
