#pragma once
// Batch arguments of add_variables.
#include <string>
#include <variant>
#include <vector>

namespace kest {

/// Names for a batch: a prefix (variable i is prefix_i, none when empty) or one name per variable.
struct NameType {
  std::variant<std::string, std::vector<std::string>> value;
  static NameType prefix(std::string p) { return {decltype(value)(std::in_place_index<0>, std::move(p))}; }
  static NameType list(std::vector<std::string> l) { return {decltype(value)(std::in_place_index<1>, std::move(l))}; }
  const std::string* as_prefix() const { return std::get_if<0>(&value); }
  const std::vector<std::string>* as_list() const { return std::get_if<1>(&value); }
};

/// A bound for a batch: one value for all, or one value per variable.
struct BoundType {
  std::variant<double, std::vector<double>> value;
  static BoundType scalar(double v) { return {decltype(value)(std::in_place_index<0>, v)}; }
  static BoundType list(std::vector<double> l) { return {decltype(value)(std::in_place_index<1>, std::move(l))}; }
  const double* as_scalar() const { return std::get_if<0>(&value); }
  const std::vector<double>* as_list() const { return std::get_if<1>(&value); }
};

}  // namespace kest
