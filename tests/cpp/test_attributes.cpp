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

TEST(OptimizerAttrKey, RawKeysCompareByName) {
  const OptimizerAttr a = OptimizerAttr::raw("Threads");
  const OptimizerAttr b = OptimizerAttr::raw(std::string("Thr") + "eads");
  EXPECT_TRUE(a == b);
  EXPECT_EQ(hash_of(a), hash_of(b));
  EXPECT_FALSE(a == OptimizerAttr::raw("threads"));
  // A Raw key named like a unit key is a different key.
  EXPECT_FALSE(OptimizerAttr::raw("SolverName") == OptimizerAttr::solver_name());
  EXPECT_FALSE(OptimizerAttr::raw("Silent") == OptimizerAttr::silent());
  EXPECT_FALSE(OptimizerAttr::raw("") == OptimizerAttr::time_limit());
}

TEST(OptimizerAttrKey, MapKeepsOneEntryPerDistinctKey) {
  std::unordered_map<OptimizerAttr, int> m;
  const OptimizerAttr keys[] = {OptimizerAttr::solver_name(), OptimizerAttr::silent(), OptimizerAttr::time_limit(),
                                OptimizerAttr::raw("SolverName"), OptimizerAttr::raw("Silent"), OptimizerAttr::raw("a")};
  for (int i = 0; i < 6; ++i) m[keys[i]] = i;
  m[OptimizerAttr::raw("a")] = 99;
  m[OptimizerAttr::silent()] = 98;
  ASSERT_EQ(m.size(), 6u);
  EXPECT_EQ(m.at(OptimizerAttr::raw("a")), 99);
  EXPECT_EQ(m.at(OptimizerAttr::silent()), 98);
  EXPECT_EQ(m.at(OptimizerAttr::raw("Silent")), 4);
  EXPECT_EQ(m.at(OptimizerAttr::solver_name()), 0);
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
