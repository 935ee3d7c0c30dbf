// kest::Array: growth across the heap/mapping boundary and in place, against
// std::vector as the reference.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "core/array.h"

namespace kest {
namespace {

template <class T>
void expect_same(const Array<T>& a, const std::vector<T>& v) {
  ASSERT_EQ(a.size(), v.size());
  for (std::size_t i = 0; i < v.size(); ++i) ASSERT_EQ(a[i], v[i]) << "at " << i;
}

TEST(Array, GrowsThroughTheMappingThresholdKeepingItsValues) {
  // push_back, bulk appends, resizes and tail erasures, from a few bytes to
  // several megabytes (heap, then a mapping, then mremap growth).
  std::mt19937_64 rng(7);
  Array<std::uint32_t> a{0};
  std::vector<std::uint32_t> v{0};
  for (int step = 0; step < 400; ++step) {
    switch (rng() % 5) {
      case 0:
        for (int i = 0; i < 1000; ++i) {
          const auto x = static_cast<std::uint32_t>(rng());
          a.push_back(x);
          v.push_back(x);
        }
        break;
      case 1: {
        std::vector<std::uint32_t> more(rng() % 20000, static_cast<std::uint32_t>(step));
        a.insert(a.end(), more.begin(), more.end());
        v.insert(v.end(), more.begin(), more.end());
        break;
      }
      case 2: {
        const std::size_t n = v.size() + rng() % 5000;
        a.resize(n);
        v.resize(n);
        break;
      }
      case 3: {
        const std::size_t keep = v.size() - v.size() / 10;
        a.erase(a.begin() + keep, a.end());
        v.erase(v.begin() + static_cast<std::ptrdiff_t>(keep), v.end());
        break;
      }
      default: {
        std::vector<std::uint32_t> more(50000 + rng() % 50000, static_cast<std::uint32_t>(rng()));
        a.insert(a.end(), more.begin(), more.end());
        v.insert(v.end(), more.begin(), more.end());
      }
    }
  }
  ASSERT_GT(a.size() * sizeof(std::uint32_t), std::size_t{2} << 20);
  expect_same(a, v);
  Array<std::uint32_t> copy(a);
  Array<std::uint32_t> moved(std::move(copy));
  EXPECT_TRUE(moved == a);
  EXPECT_TRUE(copy.empty());
}

TEST(Array, AKeptMappingServesTheNextArrayWithFreshValues) {
  const std::size_t n = (std::size_t{4} << 20) / sizeof(double);
  const double* first;
  {
    Array<double> a(n, 1.5);
    first = a.data();
  }
  Array<double> b(n);  // value-initialised even in a reused mapping
  EXPECT_EQ(b.data(), first);
  for (std::size_t i = 0; i < n; i += 4096) ASSERT_EQ(b[i], 0.0);
  release_kept_pages();
  Array<double> c(n, 2.0);
  EXPECT_EQ(c[n - 1], 2.0);
}

}  // namespace
}  // namespace kest
