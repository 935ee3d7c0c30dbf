#pragma once
// KestError and the result-or-error type of the lower layers.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace kest {

struct KestError {
  enum class Kind : std::uint8_t {
    UnsupportedConstraint = 0,
    AddConstraintNotAllowed = 1,
    UnsupportedAttribute = 2,
    SetAttributeNotAllowed = 3,
    ScalarFunctionConstantNotZero = 4,
    Msg = 5,
    // The backend refused a setting's value and kept the one it had; it has
    // told the user why. Not an error for the caller.
    ValueRefused = 6,
  };
  Kind kind = Kind::Msg;
  const char* func = "";  // UnsupportedConstraint
  const char* set = "";   // UnsupportedConstraint
  double value = 0.0;     // ScalarFunctionConstantNotZero
  std::string msg;        // Msg

  static KestError unsupported_constraint(const char* f, const char* s) {
    KestError e; e.kind = Kind::UnsupportedConstraint; e.func = f; e.set = s; return e;
  }
  static KestError add_constraint_not_allowed() { KestError e; e.kind = Kind::AddConstraintNotAllowed; return e; }
  static KestError unsupported_attribute() { KestError e; e.kind = Kind::UnsupportedAttribute; return e; }
  static KestError set_attribute_not_allowed() { KestError e; e.kind = Kind::SetAttributeNotAllowed; return e; }
  static KestError constant_not_zero(double v) {
    KestError e; e.kind = Kind::ScalarFunctionConstantNotZero; e.value = v; return e;
  }
  static KestError value_refused() { KestError e; e.kind = Kind::ValueRefused; return e; }
  static KestError message(std::string m) { KestError e; e.kind = Kind::Msg; e.msg = std::move(m); return e; }
};

/// Exactly one of a value or a KestError.
template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
  Result(KestError error) : v_(std::in_place_index<1>, std::move(error)) {}

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }
  T& value() { return std::get<0>(v_); }
  const T& value() const { return std::get<0>(v_); }
  const KestError& error() const { return std::get<1>(v_); }
  KestError& error() { return std::get<1>(v_); }

 private:
  std::variant<T, KestError> v_;
};

/// Success or a KestError.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(KestError error) : err_(std::move(error)) {}
  static Result success() { return {}; }

  bool ok() const { return !err_.has_value(); }
  explicit operator bool() const { return ok(); }
  const KestError& error() const { return *err_; }
  KestError& error() { return *err_; }

 private:
  std::optional<KestError> err_;
};

using Status = Result<void>;

}  // namespace kest
