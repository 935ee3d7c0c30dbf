// The user-visible debug texts: floats, quoted text, errors, functions.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "core/debug_text.h"

namespace kest {
namespace {

struct FloatCase {
  double value;
  const char* text;
};
// Names the CTest entry after the expected text.
void PrintTo(const FloatCase& c, std::ostream* os) {
  *os << (std::isnan(c.value) && std::signbit(c.value) ? "NaN_from_negative_NaN" : c.text);
}

class FloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, PrintsShortestRoundTripForm) { EXPECT_EQ(float_text(GetParam().value), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Table, FloatText,
    ::testing::Values(
        FloatCase{2.0, "2.0"}, FloatCase{100.0, "100.0"}, FloatCase{0.1, "0.1"}, FloatCase{-3.5, "-3.5"},
        FloatCase{0.30000000000000004, "0.30000000000000004"}, FloatCase{123456.789, "123456.789"},
        FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"},
        // Plain form up to just below 1e16, exponent form from there on.
        FloatCase{9999999999999998.0, "9999999999999998.0"}, FloatCase{1e16, "1e16"},
        FloatCase{-1.2345e20, "-1.2345e20"}, FloatCase{1.7976931348623157e308, "1.7976931348623157e308"},
        // Plain form down to 1e-4, exponent form below it.
        FloatCase{0.0001, "0.0001"}, FloatCase{-0.00012, "-0.00012"}, FloatCase{1e-5, "1e-5"},
        FloatCase{9.999999999999999e-5, "9.999999999999999e-5"}, FloatCase{-1.5e-5, "-1.5e-5"},
        FloatCase{5e-324, "5e-324"},
        FloatCase{std::numeric_limits<double>::infinity(), "inf"},
        FloatCase{-std::numeric_limits<double>::infinity(), "-inf"},
        FloatCase{std::numeric_limits<double>::quiet_NaN(), "NaN"},
        FloatCase{-std::numeric_limits<double>::quiet_NaN(), "NaN"}));

struct QuoteCase {
  const char* name;
  std::string in;
  const char* out;
};
void PrintTo(const QuoteCase& c, std::ostream* os) { *os << c.name; }

class QuotedText : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuotedText, EscapesQuotesBackslashesAndControls) {
  std::string out;
  append_quoted(out, GetParam().in);
  EXPECT_EQ(out, GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Table, QuotedText,
    ::testing::Values(QuoteCase{"Empty", "", R"("")"}, QuoteCase{"DoubleQuote", "say \"hi\"", R"("say \"hi\"")"},
                      QuoteCase{"Backslash", "a\\b", R"("a\\b")"}, QuoteCase{"SingleQuoteStays", "it's", R"("it's")"},
                      QuoteCase{"Newline", "l1\nl2", R"("l1\nl2")"}, QuoteCase{"TabAndReturn", "\t\r", R"("\t\r")"},
                      QuoteCase{"Nul", std::string("a\0b", 3), R"("a\0b")"},
                      QuoteCase{"OtherControl", "\x01", R"("\u{1}")"}, QuoteCase{"Delete", "\x7f", R"("\u{7f}")"},
                      // Non-ASCII passes as is, except the C1 controls U+0080..U+009F.
                      QuoteCase{"Utf8", "caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
                      QuoteCase{"C1Control", "a\xc2\x85z", R"("a\u{85}z")"},
                      QuoteCase{"LastC1ThenNbsp", "\xc2\x9f\xc2\xa0", "\"\\u{9f}\xc2\xa0\""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ErrorText, NoBackendMessageIsExactly33Characters) {
  const std::string text = debug_text(KestError::message("No backend solver attached"));
  EXPECT_EQ(text, "Msg(\"No backend solver attached\")");
  EXPECT_EQ(text.size(), 33u);
}

TEST(ErrorText, EveryVariant) {
  EXPECT_EQ(debug_text(KestError::message("bad \"x\"\n")), R"(Msg("bad \"x\"\n"))");
  EXPECT_EQ(debug_text(KestError::unsupported_constraint("ScalarAffine", "Interval")),
            R"(UnsupportedConstraint { func: "ScalarAffine", set: "Interval" })");
  EXPECT_EQ(debug_text(KestError::add_constraint_not_allowed()), "AddConstraintNotAllowed");
  EXPECT_EQ(debug_text(KestError::unsupported_attribute()), "UnsupportedAttribute");
  EXPECT_EQ(debug_text(KestError::set_attribute_not_allowed()), "SetAttributeNotAllowed");
  EXPECT_EQ(debug_text(KestError::constant_not_zero(0.00001)), "ScalarFunctionConstantNotZero { value: 1e-5 }");
  EXPECT_EQ(debug_text(KestError::constant_not_zero(3)), "ScalarFunctionConstantNotZero { value: 3.0 }");
}

TEST(FunctionText, TermsConstantAndEmpty) {
  const ScalarAffineFn f({{VarId{0}, 2.0}, {VarId{3}, -1.5}}, 1.0);
  EXPECT_EQ(debug_text(f),
            "ScalarAffineFn { terms: [AffineTerm { var: VarId(0), coeff: 2.0 }, "
            "AffineTerm { var: VarId(3), coeff: -1.5 }], constant: 1.0 }");
  EXPECT_EQ(debug_text(ScalarAffineFn()), "ScalarAffineFn { terms: [], constant: 0.0 }");
}

TEST(FunctionText, UnsimplifiedTermsPrintInStoredOrder) {
  ScalarAffineFn f;
  f.push_term(VarId{3}, 1.0);
  f.push_term(VarId{1}, 2.0);
  f.push_term(VarId{3}, 0.5);
  EXPECT_EQ(debug_text(f),
            "ScalarAffineFn { terms: [AffineTerm { var: VarId(3), coeff: 1.0 }, "
            "AffineTerm { var: VarId(1), coeff: 2.0 }, AffineTerm { var: VarId(3), coeff: 0.5 }], constant: 0.0 }");
}

TEST(IdText, PlainDecimal) {
  EXPECT_EQ(debug_text(VarId{3}), "VarId(3)");
  EXPECT_EQ(debug_text(VarId{18446744073709551615ull}), "VarId(18446744073709551615)");
}

TEST(OptimizerAttrText, UnitNamesAndQuotedRaw) {
  EXPECT_EQ(debug_text(OptimizerAttr::solver_name()), "SolverName");
  EXPECT_EQ(debug_text(OptimizerAttr::silent()), "Silent");
  EXPECT_EQ(debug_text(OptimizerAttr::time_limit()), "TimeLimit");
  EXPECT_EQ(debug_text(OptimizerAttr::raw("Threads")), R"(Raw("Threads"))");
  EXPECT_EQ(debug_text(OptimizerAttr::raw("a\"b\\")), R"(Raw("a\"b\\"))");
}

}  // namespace
}  // namespace kest
