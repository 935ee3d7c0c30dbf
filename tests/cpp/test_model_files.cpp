// Model files in C++: numbers exact, the MPS conventions the reader follows,
// a model written and read back through the cache's own views, and files
// cut short anywhere.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>
#include <limits>

#include "bridge/bridge_optimizer.h"
#include "io/model_files.h"
#include "io/text_io.h"

namespace kest::io {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string temp_file(const std::string& name, const std::string& text) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

TEST(ModelFileNumbers, WrittenTextReadsBackBitForBit) {
  for (double v : {0.1, 1.0 / 3.0, 5e-324, 1.7976931348623157e308, -0.0, 1e23, 2.5e-308, -kInf, kInf}) {
    std::string text;
    append_number(text, v);
    const auto back = parse_number(text);
    ASSERT_TRUE(back.has_value()) << text;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*back), std::bit_cast<std::uint64_t>(v)) << text;
  }
  EXPECT_EQ(parse_number("+5"), 5.0);
  EXPECT_EQ(parse_number("1e999"), kInf);
  EXPECT_EQ(parse_number("-1e999"), -kInf);
  EXPECT_EQ(parse_number("1e-999"), 0.0);
  EXPECT_EQ(parse_number("-Infinity"), -kInf);
  EXPECT_TRUE(std::isnan(*parse_number("NaN")));
  for (const char* bad : {"", "+", "abc", "1.2.3", "1e", "--1", "0x10", "1,5"}) EXPECT_FALSE(parse_number(bad)) << bad;
}

ModelData read_ok(const std::string& name, const std::string& text) {
  ModelData d;
  const std::string path = temp_file(name, text);
  const auto e = name.ends_with(".lp") ? read_lp(path, d) : read_mps(path, d);
  EXPECT_FALSE(e.has_value()) << e->message;
  return d;
}

TEST(MpsReader, RangesBoundsMarkersObjectiveAndSense) {
  const ModelData d = read_ok("conventions.mps",
                              "NAME conventions\n"
                              "OBJSENSE MAX\n"
                              "ROWS\n N obj\n E e1\n E e2\n L l\n G g\n N other\n"
                              "COLUMNS\n"
                              " a obj 1 e1 1\n"
                              " e2 2 l 3\n"  // an even count: the column before goes on
                              " MARKER 'MARKER' 'INTORG'\n"
                              " i g 1 other 9\n"
                              " j g 1\n"
                              " MARKER 'MARKER' 'INTEND'\n"
                              " b obj -2\n c e1 1\n d e1 1\n"
                              "RHS\n RHS obj 2.5 e1 4\n RHS e2 6 l 8\n RHS g 1\n OTHER e1 99\n"
                              "RANGES\n RNG e1 3 e2 -2\n RNG l 5 g -5\n"
                              "BOUNDS\n UP BND a -1\n LO BND b -3\n UP BND b -1\n UI BND j 7\n MI BND c\n"
                              " FR BND d\n"
                              "ENDATA\n");
  EXPECT_EQ(d.name, "conventions");
  EXPECT_EQ(d.sense, OptimizationSense::Maximize);
  EXPECT_EQ(d.objective.constant, -2.5);
  ASSERT_EQ(d.objective.terms.size(), 2u);
  EXPECT_EQ(d.objective.terms[1].coeff, -2.0);
  // e1 [4, 7], e2 [4, 6], l [3, 8], g [1, 6]; the second N row is dropped.
  const auto& c = d.constraints;
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(std::vector<double>(c.bounds.begin(), c.bounds.end()), (std::vector<double>{4, 4, 3, 1}));
  EXPECT_EQ(std::vector<double>(c.uppers.begin(), c.uppers.end()), (std::vector<double>{7, 6, 8, 6}));
  EXPECT_EQ(c.starts[1], 3u);  // e1: a, c, d
  // a: UP below zero, no lower set: lower -inf. b: the lower was set first.
  // i: a MARKER integer no bound names is [0, 1]; j: named by UI, [0, 7].
  const auto& v = d.variables;
  const std::vector<double> lowers(v.lowers.begin(), v.lowers.end()), uppers(v.uppers.begin(), v.uppers.end());
  EXPECT_EQ(lowers, (std::vector<double>{-kInf, 0, 0, -3, -kInf, -kInf}));
  EXPECT_EQ(uppers, (std::vector<double>{-1, 1, 7, -1, kInf, kInf}));
  EXPECT_EQ(std::u32string(v.types.begin(), v.types.end()), U"CIICCC");
}

TEST(LpReader, RangesBoundsAndTypes) {
  const ModelData d = read_ok("forms.lp",
                              "Maximize\n obj: 2 x + 3y - 1.5\nSubject To\n r: -2 <= x + y <= 4\n"
                              " x - y >= -inf\n 3 >= x\nBounds\n 1 <= x <= 2\n y free\n z <= -1\n"
                              "Generals\n z\nBinaries\n w\nEnd\n");
  EXPECT_EQ(d.objective.constant, -1.5);
  ASSERT_EQ(d.constraints.size(), 3u);
  EXPECT_EQ(d.constraints.bounds[0], -2.0);
  EXPECT_EQ(d.constraints.uppers[0], 4.0);
  EXPECT_EQ(d.constraints.bounds[2], 3.0);  // "3 >= x" is x <= 3
  const auto& v = d.variables;
  EXPECT_EQ(std::vector<double>(v.lowers.begin(), v.lowers.end()), (std::vector<double>{1, -kInf, 0, 0}));
  EXPECT_EQ(std::vector<double>(v.uppers.begin(), v.uppers.end()), (std::vector<double>{2, kInf, -1, 1}));
  EXPECT_EQ(std::u32string(v.types.begin(), v.types.end()), U"CCIB");
}

// A model in the cache with every kind of row and bound, written in each
// format and read back: the same numbers.
class WriteRead : public ::testing::TestWithParam<const char*> {};

TEST_P(WriteRead, TheCacheComesBackExactly) {
  BridgeOptimizer b;
  VariableBatch vb;
  vb.lowers = {0.0, -kInf, 1.0 / 3.0, 2.0, -kInf};
  vb.uppers = {kInf, 5e-324, kInf, 2.0, kInf};
  vb.types = {kContinuous, kInteger, kBinary, kContinuous, kInteger};
  vb.names.kind = NameRun::Kind::Texts;
  vb.names.count = 5;
  vb.names.arena = "xy zz";  // "y z" is no name in either format
  vb.names.ends = {1, 4, 4, 5, 5};
  b.add_variable_batch(std::move(vb));
  ConstraintBatch cb;
  auto row = [&](std::vector<std::pair<std::uint32_t, double>> terms, ScalarSetType set) {
    ScalarAffineFn f;
    for (auto [j, c] : terms) f.push_term(VarId{j}, c);
    cb.push(f, set);
  };
  row({{0, 0.1}, {1, -1e300}}, ScalarSetType::greater_than(-1.0 / 7.0));
  row({{2, 1.0}, {3, 2.0}}, ScalarSetType::interval(-1.0, 4.0));
  row({{4, 3.0}}, ScalarSetType::equal_to(0.5));
  row({}, ScalarSetType::less_than(2.0));
  b.add_constraint_batch(cb, NameRun{NameRun::Kind::Underscore, 4, "r", {}, {}, {}});
  ASSERT_TRUE(b.set_objective(ScalarAffineFn({{VarId{0}, 1.5}, {VarId{4}, -2.0}}, 0.25), OptimizationSense::Maximize));

  const ScalarAffineFn objective = *b.objective_function()->affine();
  const ModelView view{"m", b.all_variables(), b.all_constraints(), &objective, OptimizationSense::Maximize};
  const std::string path = ::testing::TempDir() + "written" + GetParam();
  const auto format = *format_of(path);
  ASSERT_FALSE(write_model_file(path, format, view));
  ModelData d;
  const auto e = read_model_file(path, format, d);
  ASSERT_FALSE(e) << e->message;
  EXPECT_EQ(d.sense, OptimizationSense::Maximize);
  EXPECT_EQ(d.objective, objective);
  const auto& v = d.variables;
  // The binary keeps its lower bound and reads back with the upper bound 1
  // (inf in the cache).
  EXPECT_EQ(std::vector<double>(v.lowers.begin(), v.lowers.end()),
            (std::vector<double>{0, -kInf, 1.0 / 3.0, 2, -kInf}));
  EXPECT_EQ(std::vector<double>(v.uppers.begin(), v.uppers.end()), (std::vector<double>{kInf, 5e-324, 1, 2, kInf}));
  EXPECT_EQ(std::u32string(v.types.begin(), v.types.end()), U"CIBCI");
  std::string names;
  for (std::uint64_t i = 0; i < 5; ++i) v.names.append(names, i), names += ' ';
  EXPECT_EQ(names, "x x_1 x_2 z x_4 ");
  const auto& c = d.constraints;
  ASSERT_EQ(c.size(), 4u);
  EXPECT_EQ(std::vector<double>(c.coeffs.begin(), c.coeffs.end()), (std::vector<double>{0.1, -1e300, 1, 2, 3}));
  EXPECT_EQ(std::vector<double>(c.bounds.begin(), c.bounds.end()), (std::vector<double>{-1.0 / 7.0, -1, 0.5, 2}));
  EXPECT_EQ(std::vector<double>(c.uppers.begin(), c.uppers.end()), (std::vector<double>{4}));
  EXPECT_EQ(c.starts[4], 5u);
}

INSTANTIATE_TEST_SUITE_P(Formats, WriteRead, ::testing::Values(".mps", ".lp", ".mps.gz"));

TEST(ModelFileReaders, EveryCutShortFileIsAnErrorNamingItsLineOrAModel) {
  const std::string mps =
      "NAME t\nROWS\n N obj\n L c\nCOLUMNS\n x obj 1 c 2\n MARKER 'MARKER' 'INTORG'\n y c 1\n"
      " MARKER 'MARKER' 'INTEND'\nRHS\n RHS c 4\nRANGES\n R c 2\nBOUNDS\n UP B y 3\nENDATA\n";
  const std::string lp = "Minimize\n obj: x + 2 y\nSubject To\n c: 1 <= x + y <= 4\nBounds\n y <= 3\nGenerals\n y\nEnd\n";
  for (const auto& [name, text] : {std::pair{"cut.mps", mps}, std::pair{"cut.lp", lp}}) {
    for (std::size_t n = 0; n + 1 < text.size(); ++n) {  // the last cut keeps the end marker whole
      ModelData d;
      const std::string path = temp_file(name, text.substr(0, n));
      const auto e = read_model_file(path, *format_of(path), d);
      ASSERT_TRUE(e.has_value()) << n;
      EXPECT_FALSE(e->io);
      EXPECT_EQ(e->message.rfind(path + ":", 0), 0u) << e->message;
    }
  }
}

TEST(ModelFileReaders, SplitIntervalRowsKeepsOrderAndNames) {
  ModelData d = read_ok("split.mps",
                        "NAME\nROWS\n N obj\n G a\n E b\n L c\nCOLUMNS\n x a 1 b 2\n x c 3\n"
                        "RHS\n RHS a 1 b 2 \n RHS c 3\nRANGES\n R a 2 b 0\n R c 1e999\nENDATA\n");
  split_interval_rows(d);
  const auto& c = d.constraints;
  ASSERT_EQ(c.size(), 4u);
  EXPECT_TRUE(c.uppers.empty());
  EXPECT_EQ(std::vector<double>(c.bounds.begin(), c.bounds.end()), (std::vector<double>{1, 3, 2, 3}));
  std::string names;
  for (std::uint64_t i = 0; i < 4; ++i) d.constraint_names.append(names, i), names += ' ';
  EXPECT_EQ(names, "a a_up b c ");  // c: [-inf, 3], one side only
}

}  // namespace
}  // namespace kest::io
