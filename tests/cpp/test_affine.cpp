// ScalarAffineFn: push_term, simplify and calculate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/affine.h"
#include "core/debug_text.h"
#include "core/fault.h"

namespace kest {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

using Terms = std::vector<AffineTerm>;

AffineTerm T(std::uint64_t var, double coeff) { return AffineTerm{VarId{var}, coeff}; }

// Same value, treating NaN as equal to NaN and telling 0.0 from -0.0.
bool same_float(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

::testing::AssertionResult same_terms(const Terms& got, const Terms& want) {
  bool ok = got.size() == want.size();
  for (std::size_t i = 0; ok && i < got.size(); ++i)
    ok = got[i].var == want[i].var && same_float(got[i].coeff, want[i].coeff);
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got " << debug_text(ScalarAffineFn(got, 0.0)) << "\nwant "
                                       << debug_text(ScalarAffineFn(want, 0.0));
}

// ---- push_term ----

TEST(PushTerm, SkipsBothZerosKeepsNaNAndNeverMerges) {
  ScalarAffineFn f;
  f.push_term(VarId{1}, 0.0);
  f.push_term(VarId{1}, -0.0);
  EXPECT_TRUE(f.terms.empty());
  f.push_term(VarId{3}, 1.0);
  f.push_term(VarId{1}, kNaN);
  f.push_term(VarId{3}, 2.0);
  EXPECT_TRUE(same_terms(f.terms, {T(3, 1.0), T(1, kNaN), T(3, 2.0)}));
  EXPECT_EQ(f.constant, 0.0);
}

// ---- simplify ----

struct SimplifyCase {
  const char* name;
  Terms in;
  Terms out;
};
void PrintTo(const SimplifyCase& c, std::ostream* os) { *os << c.name; }

class Simplify : public ::testing::TestWithParam<SimplifyCase> {};

TEST_P(Simplify, SortsMergesAndDropsZeros) {
  ScalarAffineFn f(GetParam().in, 7.5);
  f.simplify();
  EXPECT_TRUE(same_terms(f.terms, GetParam().out));
  EXPECT_TRUE(same_float(f.constant, 7.5)) << "simplify must not touch the constant";
}

INSTANTIATE_TEST_SUITE_P(
    Table, Simplify,
    ::testing::Values(
        SimplifyCase{"Empty", {}, {}},
        SimplifyCase{"SingleZeroTermGoes", {T(4, 0.0)}, {}},
        SimplifyCase{"SortThenMerge", {T(2, 1.0), T(0, 1.0), T(2, 2.0)}, {T(0, 1.0), T(2, 3.0)}},
        SimplifyCase{"CancellationAmongOthers", {T(5, 1.0), T(1, 2.0), T(5, -1.0), T(0, 3.0)}, {T(0, 3.0), T(1, 2.0)}},
        SimplifyCase{"NegativeZeroCountsAsZero", {T(0, -0.0), T(1, 2.0)}, {T(1, 2.0)}},
        SimplifyCase{"MergedNegativeZeroGoes", {T(1, -0.0), T(0, 1.0), T(1, -0.0)}, {T(0, 1.0)}},
        SimplifyCase{"NaNKept", {T(3, kNaN), T(1, 1.0)}, {T(1, 1.0), T(3, kNaN)}},
        SimplifyCase{"NaNAbsorbsMerge", {T(0, 1.0), T(0, kNaN), T(0, -1.0)}, {T(0, kNaN)}},
        // 0.1 + 0.2 + 0.3 is 0.6000000000000001 left to right, 0.6 right to left.
        SimplifyCase{"LeftToRightSum", {T(7, 0.1), T(2, 5.0), T(7, 0.2), T(7, 0.3)}, {T(2, 5.0), T(7, 0.6000000000000001)}},
        SimplifyCase{"LeftToRightSumReversedInput", {T(7, 0.3), T(2, 5.0), T(7, 0.2), T(7, 0.1)}, {T(2, 5.0), T(7, 0.6)}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SimplifyStability, LongListKeepsInputOrderWithinAVariable) {
  // Enough terms that an unstable sort would reorder equal keys. The first
  // term of var 2 is 1e16: added first, each later 1.0 rounds away; added
  // after the ones it would not.
  ScalarAffineFn f;
  double expected2 = 0.0, ones = 0.0;
  for (int i = 0; i < 90; ++i) {
    const std::uint64_t var = static_cast<std::uint64_t>((89 - i) % 3);
    const double c = (var == 2 && i == 0) ? 1e16 : 1.0;
    f.push_term(VarId{var}, c);
    if (var == 2) {
      expected2 += c;
      if (c == 1.0) ones += 1.0;
    }
  }
  ASSERT_NE(expected2, ones + 1e16) << "the case must tell the two orders apart";
  f.simplify();
  EXPECT_TRUE(same_terms(f.terms, {T(0, 30.0), T(1, 30.0), T(2, expected2)}));
}

TEST(SimplifyStability, LongListsSortLikeAStableSort) {
  // Long lists take another sort (by digits of the variable index): the
  // result must be the stable sort's, for indices of one to three digits.
  std::mt19937_64 rng(11);
  for (std::uint64_t range : {std::uint64_t{300}, std::uint64_t{1} << 20, std::uint64_t{1} << 40}) {
    ScalarAffineFn f;
    for (int i = 0; i < 5000; ++i)
      f.push_term(VarId{rng() % range}, static_cast<double>(rng() % 7) - 3.0 + (i % 2 ? 1e16 : 0.5));
    std::vector<AffineTerm> reference = f.terms;
    std::stable_sort(reference.begin(), reference.end(),
                     [](const AffineTerm& a, const AffineTerm& b) { return a.var < b.var; });
    Terms merged;
    for (const auto& t : reference) {
      if (!merged.empty() && merged.back().var == t.var)
        merged.back().coeff += t.coeff;
      else
        merged.push_back(t);
    }
    std::erase_if(merged, [](const AffineTerm& t) { return t.coeff == 0.0; });
    f.simplify();
    EXPECT_TRUE(same_terms(f.terms, merged)) << "indices below " << range;
  }
}

// ---- calculate ----

struct CalcCase {
  const char* name;
  ScalarAffineFn lhs;
  ScalarAffineFn rhs;
  AffineOp op;
  Terms terms;
  double constant;
};
void PrintTo(const CalcCase& c, std::ostream* os) { *os << c.name; }

class Calculate : public ::testing::TestWithParam<CalcCase> {};

TEST_P(Calculate, ReturnsSimplifiedResultAndLeavesOperands) {
  const auto& c = GetParam();
  const ScalarAffineFn lhs = c.lhs, rhs = c.rhs;
  const ScalarAffineFn out = calculate(lhs, rhs, c.op);
  EXPECT_TRUE(same_terms(out.terms, c.terms));
  EXPECT_TRUE(same_float(out.constant, c.constant)) << "constant " << out.constant;
  EXPECT_TRUE(same_terms(lhs.terms, c.lhs.terms));
  EXPECT_TRUE(same_terms(rhs.terms, c.rhs.terms));
}

const ScalarAffineFn k2xPlus1({T(0, 2.0)}, 1.0);
const ScalarAffineFn k2xMinus1({T(0, 2.0)}, -1.0);

INSTANTIATE_TEST_SUITE_P(
    Table, Calculate,
    ::testing::Values(
        CalcCase{"AddMergesAcrossOperands", ScalarAffineFn({T(0, 1.0), T(1, 2.0)}, 1.0),
                 ScalarAffineFn({T(1, 3.0), T(0, -1.0)}, 2.0), AffineOp::Add, {T(1, 5.0)}, 3.0},
        CalcCase{"AddLhsTermsFirst", ScalarAffineFn({T(4, 0.1), T(4, 0.2)}, 0.0), ScalarAffineFn({T(4, 0.3)}, 0.0),
                 AffineOp::Add, {T(4, 0.6000000000000001)}, 0.0},
        CalcCase{"SubSelfIsZero", ScalarAffineFn({T(0, 2.0), T(5, -3.0)}, 4.0),
                 ScalarAffineFn({T(0, 2.0), T(5, -3.0)}, 4.0), AffineOp::Sub, {}, 0.0},
        CalcCase{"SubNegatesRhs", ScalarAffineFn({T(2, 1.0)}, 1.0), ScalarAffineFn({T(0, 1.0)}, 4.0), AffineOp::Sub,
                 {T(0, -1.0), T(2, 1.0)}, -3.0},
        CalcCase{"MulByConstantRight", k2xPlus1, ScalarAffineFn(3.0), AffineOp::Mul, {T(0, 6.0)}, 3.0},
        CalcCase{"MulByConstantLeft", ScalarAffineFn(3.0), ScalarAffineFn({T(0, 2.0), T(1, -1.0)}, 5.0),
                 AffineOp::Mul, {T(0, 6.0), T(1, -3.0)}, 15.0},
        CalcCase{"MulLeftUsesLhsConstantNotItsTerms", ScalarAffineFn(-2.0), ScalarAffineFn({T(1, 1.0), T(0, 1.0)}, 0.0),
                 AffineOp::Mul, {T(0, -2.0), T(1, -2.0)}, -0.0},
        CalcCase{"ZeroTimesNegativeConstant", ScalarAffineFn(0.0), k2xMinus1, AffineOp::Mul, {}, -0.0},
        CalcCase{"NegativeConstantTimesZero", k2xMinus1, ScalarAffineFn(0.0), AffineOp::Mul, {}, -0.0},
        CalcCase{"FunctionTimesNegativeZero", k2xPlus1, ScalarAffineFn(-0.0), AffineOp::Mul, {}, -0.0},
        CalcCase{"OverflowPassesThrough", ScalarAffineFn({T(0, 1e308)}, 1.0), ScalarAffineFn(10.0), AffineOp::Mul,
                 {T(0, kInf)}, 10.0},
        CalcCase{"NaNFactorKeepsTerms", k2xPlus1, ScalarAffineFn(kNaN), AffineOp::Mul, {T(0, kNaN)}, kNaN}),
    [](const auto& info) { return std::string(info.param.name); });

void expect_fault(const ScalarAffineFn& lhs, const ScalarAffineFn& rhs, AffineOp op, const std::string& message) {
  try {
    (void)calculate(lhs, rhs, op);
    ADD_FAILURE() << "expected kest::Fault(\"" << message << "\")";
  } catch (const Fault& f) {
    EXPECT_EQ(std::string(f.what()), message);
  }
}

// Subtraction negates the right side's coefficients; multiplying by -1 would
// keep a NaN's sign on x86.
TEST(CalculateSub, FlipsTheSignOfANaNCoefficient) {
  for (const double nan : {kNaN, -kNaN}) {
    const ScalarAffineFn out = calculate(ScalarAffineFn(), ScalarAffineFn({T(0, nan)}, 0.0), AffineOp::Sub);
    ASSERT_EQ(out.terms.size(), 1u);
    EXPECT_NE(std::signbit(out.terms[0].coeff), std::signbit(nan));
  }
}

TEST(CalculateFaults, UnknownOperationAndProductOfTwoFunctionsWithTerms) {
  expect_fault(ScalarAffineFn(1.0), ScalarAffineFn(2.0), static_cast<AffineOp>(3),
               "Unsupported operation for ScalarAffineFn");
  expect_fault(k2xPlus1, ScalarAffineFn(2.0), static_cast<AffineOp>(200), "Unsupported operation for ScalarAffineFn");
  const ScalarAffineFn y({T(1, 1.0)}, 0.0);
  expect_fault(k2xPlus1, y, AffineOp::Mul, "Multiplication results in a non-affine function");
  expect_fault(y, k2xPlus1, AffineOp::Mul, "Multiplication results in a non-affine function");
}

// ---- combine ----

// The operators call combine() with simplified operands, which it merges
// instead of sorting: random operands, simplified or not, must come out as
// the definition (concatenate, then simplify) leaves them, cancellations,
// infinities and NaNs included.
TEST(Combine, AgreesWithConcatenateThenSimplify) {
  std::mt19937_64 rng(7);
  const double coeffs[] = {1.0, -1.0, 0.5, 0.1, 0.2, -0.3, 1e16, -1e16, 0.0, -0.0, kInf, -kInf, kNaN};
  auto draw = [&](bool simplified) {
    ScalarAffineFn f;
    for (auto n = rng() % 6; n > 0; --n) f.terms.push_back(T(rng() % 5, coeffs[rng() % std::size(coeffs)]));
    if (simplified) f.simplify();
    return f;
  };
  for (int round = 0; round < 20000; ++round) {
    const ScalarAffineFn a = draw(round % 3 != 0), b = draw(round % 5 != 0);
    const bool negate = round % 2 == 1;
    ScalarAffineFn want;
    for (const auto& t : a.terms) want.push_term(t.var, t.coeff);
    for (const auto& t : b.terms) want.push_term(t.var, negate ? -t.coeff : t.coeff);
    want.simplify();
    ScalarAffineFn got({T(9, 1.0)}, 5.0);  // whatever out held before is replaced
    combine(a.terms, b.terms, negate, 0.0, got);
    ASSERT_TRUE(same_terms(got.terms, want.terms)) << "round " << round;
  }
}

}  // namespace
}  // namespace kest
