// Optimizer setting keys: structural equality and hashing; the default variable record.
#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <unordered_map>

#include "core/attributes.h"
#include "core/records.h"

namespace kest {
namespace {

std::size_t hash_of(const OptimizerAttr& a) { return std::hash<OptimizerAttr>{}(a); }

TEST(OptimizerAttrKey, RawKeysCompareAndHashByName) {
  const OptimizerAttr a = OptimizerAttr::raw("Threads");
  const OptimizerAttr b = OptimizerAttr::raw(std::string("Thr") + "eads");
  EXPECT_TRUE(a == b);
  EXPECT_EQ(hash_of(a), hash_of(b));
  EXPECT_FALSE(a == OptimizerAttr::raw("threads"));
  // A Raw key named like a unit key is a different key.
  EXPECT_FALSE(OptimizerAttr::raw("SolverName") == OptimizerAttr::solver_name());
  EXPECT_FALSE(OptimizerAttr::raw("Silent") == OptimizerAttr::silent());
  EXPECT_FALSE(OptimizerAttr::raw("") == OptimizerAttr::time_limit());
  std::unordered_map<OptimizerAttr, int> m{
      {OptimizerAttr::solver_name(), 0}, {OptimizerAttr::raw("SolverName"), 1}, {OptimizerAttr::silent(), 2}};
  m[OptimizerAttr::raw("SolverName")] = 3;
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m.at(OptimizerAttr::solver_name()), 0);
  EXPECT_EQ(m.at(OptimizerAttr::raw("SolverName")), 3);
}

TEST(Records, DefaultVariableIsContinuousFromZeroToInfinity) {
  const VarInfo v{};
  EXPECT_EQ(v.name, "");
  EXPECT_EQ(v.lower, 0.0);
  EXPECT_EQ(v.upper, std::numeric_limits<double>::infinity());
  EXPECT_EQ(v.vtype, U'C');
}

}  // namespace
}  // namespace kest
