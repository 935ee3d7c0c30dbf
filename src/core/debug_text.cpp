#include "core/debug_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>

namespace kest {

void append_float(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "NaN";
    return;
  }
  if (std::signbit(v)) {
    out += '-';
    v = -v;
  }
  if (std::isinf(v)) {
    out += "inf";
    return;
  }
  if (v == 0.0) {
    out += "0.0";
    return;
  }
  // Shortest round-trip digits in scientific form, then laid out by hand.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  auto epos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, epos))
    if (c != '.') digits += c;
  int exp = 0;
  std::from_chars(sci.data() + epos + 1 + (sci[epos + 1] == '+'), sci.data() + sci.size(), exp);

  if (v >= 1e16 || v < 1e-4) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += 'e';
    out += std::to_string(exp);
    return;
  }
  const auto n = static_cast<int>(digits.size());
  if (exp >= 0) {
    if (n <= exp + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(exp + 1 - n), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(exp + 1));
      out += '.';
      out.append(digits, static_cast<std::size_t>(exp + 1));
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out += digits;
  }
}

static void append_unicode_escape(std::string& out, char32_t c) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
  out += buf;
}

void append_quoted(std::string& out, std::string_view s) {
  out += '"';
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    // U+0080..U+009F are control characters too; in UTF-8 they are 0xC2 0x80..0x9F.
    if (c == 0xc2 && i + 1 < s.size()) {
      const auto next = static_cast<unsigned char>(s[i + 1]);
      if (next >= 0x80 && next <= 0x9f) {
        append_unicode_escape(out, next);
        ++i;
        continue;
      }
    }
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f)
          append_unicode_escape(out, c);
        else
          out += static_cast<char>(c);
    }
  }
  out += '"';
}

static void append_char(std::string& out, char32_t c) {
  out += '\'';
  if (c < 0x80)
    out += static_cast<char>(c);
  else
    append_unicode_escape(out, c);
  out += '\'';
}

void append_debug(std::string& out, VarId v) {
  out += "VarId(";
  out += std::to_string(v.index);
  out += ')';
}

void append_debug(std::string& out, const AffineTerm& t) {
  out += "AffineTerm { var: ";
  append_debug(out, t.var);
  out += ", coeff: ";
  append_float(out, t.coeff);
  out += " }";
}

void append_debug(std::string& out, const ScalarAffineFn& f) {
  out += "ScalarAffineFn { terms: [";
  bool first = true;
  for (const auto& t : f.terms) {
    if (!first) out += ", ";
    first = false;
    append_debug(out, t);
  }
  out += "], constant: ";
  append_float(out, f.constant);
  out += " }";
}

void append_debug(std::string& out, const ScalarFunctionType& f) {
  if (const auto* s = f.single()) {
    out += "SingleVariable(";
    append_debug(out, s->var);
    out += ')';
  } else {
    out += "ScalarAffine(";
    append_debug(out, *f.affine());
    out += ')';
  }
}

void append_debug(std::string& out, const ScalarSetType& s) {
  using K = ScalarSetType::Kind;
  switch (s.kind) {
    case K::GreaterThan: out += "GreaterThan("; break;
    case K::LessThan: out += "LessThan("; break;
    case K::EqualTo: out += "EqualTo("; break;
    case K::Interval:
      out += "Interval { lower: ";
      append_float(out, s.value);
      out += ", upper: ";
      append_float(out, s.upper);
      out += " }";
      return;
  }
  append_float(out, s.value);
  out += ')';
}

void append_debug(std::string& out, OptimizationSense s) {
  out += s == OptimizationSense::Minimize ? "Minimize" : "Maximize";
}

void append_debug(std::string& out, ModelAttr a) {
  switch (a) {
    case ModelAttr::ObjectiveSense: out += "ObjectiveSense"; break;
    case ModelAttr::ObjectiveFunction: out += "ObjectiveFunction"; break;
    case ModelAttr::Name: out += "Name"; break;
    case ModelAttr::NumberOfVariables: out += "NumberOfVariables"; break;
    case ModelAttr::NumberOfConstraints: out += "NumberOfConstraints"; break;
  }
}

void append_debug(std::string& out, const OptimizerAttr& a) {
  using K = OptimizerAttr::Kind;
  switch (a.kind) {
    case K::SolverName: out += "SolverName"; break;
    case K::Silent: out += "Silent"; break;
    case K::TimeLimit: out += "TimeLimit"; break;
    case K::Raw:
      out += "Raw(";
      append_quoted(out, a.name);
      out += ')';
      break;
  }
}

void append_debug(std::string& out, const AttrValue& v) {
  struct Visitor {
    std::string& out;
    void operator()(const std::string& s) { out += "String("; append_quoted(out, s); out += ')'; }
    void operator()(std::int64_t i) { out += "Int(" + std::to_string(i) + ")"; }
    void operator()(double d) { out += "Float("; append_float(out, d); out += ')'; }
    void operator()(bool b) { out += b ? "Bool(true)" : "Bool(false)"; }
    void operator()(OptimizationSense s) { out += "Sense("; append_debug(out, s); out += ')'; }
    void operator()(const ScalarFunctionType& f) { out += "Function("; append_debug(out, f); out += ')'; }
  };
  std::visit(Visitor{out}, v.value);
}

void append_debug(std::string& out, const KestError& e) {
  using K = KestError::Kind;
  switch (e.kind) {
    case K::UnsupportedConstraint:
      out += "UnsupportedConstraint { func: ";
      append_quoted(out, e.func);
      out += ", set: ";
      append_quoted(out, e.set);
      out += " }";
      break;
    case K::AddConstraintNotAllowed: out += "AddConstraintNotAllowed"; break;
    case K::UnsupportedAttribute: out += "UnsupportedAttribute"; break;
    case K::SetAttributeNotAllowed: out += "SetAttributeNotAllowed"; break;
    case K::ValueRefused: out += "ValueRefused"; break;
    case K::ScalarFunctionConstantNotZero:
      out += "ScalarFunctionConstantNotZero { value: ";
      append_float(out, e.value);
      out += " }";
      break;
    case K::Msg:
      out += "Msg(";
      append_quoted(out, e.msg);
      out += ')';
      break;
  }
}

void append_debug(std::string& out, const VarInfo& v) {
  out += "VarInfo { id: ";
  append_debug(out, v.id);
  out += ", name: ";
  append_quoted(out, v.name);
  out += ", lower: ";
  append_float(out, v.lower);
  out += ", upper: ";
  append_float(out, v.upper);
  out += ", vtype: ";
  append_char(out, v.vtype);
  out += " }";
}

}  // namespace kest
