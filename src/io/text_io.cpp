#include "io/text_io.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace kest::io {

namespace {

constexpr std::size_t kReadBlock = std::size_t{1} << 20;

bool equals_folded(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

}  // namespace

bool ends_with_gz(std::string_view path) { return path.size() >= 3 && path.substr(path.size() - 3) == ".gz"; }

void append_number(std::string& out, double v) {
  if (std::isnan(v)) {
    out += "nan";
    return;
  }
  if (std::isinf(v)) {
    out += v > 0 ? "inf" : "-inf";
    return;
  }
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_index(std::string& out, std::uint64_t v) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

std::optional<double> parse_number(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  std::string_view body = text;
  if (body.front() == '+' || body.front() == '-') {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (body.empty()) return std::nullopt;
  const char c = body.front();
  if (!(c >= '0' && c <= '9') && c != '.') {
    if (equals_folded(body, "inf") || equals_folded(body, "infinity"))
      return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    if (equals_folded(body, "nan")) return std::numeric_limits<double>::quiet_NaN();
    return std::nullopt;
  }
  double v = 0.0;
  const auto r = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
  if (r.ptr != body.data() + body.size()) return std::nullopt;
  if (r.ec == std::errc::result_out_of_range) {
    // from_chars leaves v alone then; strtod tells overflow from underflow.
    const std::string copy(body);
    v = std::strtod(copy.c_str(), nullptr);
  } else if (r.ec != std::errc()) {
    return std::nullopt;
  }
  return negative ? -v : v;
}

bool valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    const unsigned c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if ((c & 0xe0) == 0xc0) n = 1, cp = c & 0x1f;
    else if ((c & 0xf0) == 0xe0) n = 2, cp = c & 0x0f;
    else if ((c & 0xf8) == 0xf0) n = 3, cp = c & 0x07;
    else return false;
    if (static_cast<std::size_t>(end - p) <= n) return false;
    for (std::size_t k = 1; k <= n; ++k) {
      if ((p[k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (p[k] & 0x3f);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not text.
    static constexpr std::uint32_t kMin[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMin[n] || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
    p += n + 1;
  }
  return true;
}

std::size_t split_fields(std::string_view line, std::string_view* out, std::size_t max) {
  std::size_t n = 0, i = 0;
  const std::size_t size = line.size();
  while (i < size) {
    while (i < size && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i == size) break;
    const std::size_t begin = i;
    while (i < size && line[i] != ' ' && line[i] != '\t') ++i;
    if (n < max) out[n] = line.substr(begin, i - begin);
    ++n;
  }
  return n;
}

// ---- OutputFile ----------------------------------------------------------

OutputFile::OutputFile(std::string path) : path_(std::move(path)) {
  buf_.reserve(kBlock + (kBlock >> 2));
  errno = 0;
  if (ends_with_gz(path_)) {
    gz_ = gzopen(path_.c_str(), "wb");
    if (!gz_) fail(errno ? errno : ENOMEM);
  } else {
    plain_ = std::fopen(path_.c_str(), "wb");
    if (!plain_) fail(errno);
  }
}

OutputFile::~OutputFile() {
  if (plain_) std::fclose(plain_);
  if (gz_) gzclose(gz_);
}

void OutputFile::fail(int code) {
  if (error_) return;
  error_ = FileError{true, code, path_ + ": " + std::strerror(code)};
}

void OutputFile::flush() {
  if (!error_ && !buf_.empty()) {
    errno = 0;
    if (plain_) {
      if (std::fwrite(buf_.data(), 1, buf_.size(), plain_) != buf_.size()) fail(errno ? errno : EIO);
    } else if (gz_) {
      // gzwrite takes an unsigned count: large buffers go in pieces.
      std::size_t done = 0;
      while (done < buf_.size() && !error_) {
        const auto piece = static_cast<unsigned>(std::min<std::size_t>(buf_.size() - done, kBlock));
        if (gzwrite(gz_, buf_.data() + done, piece) != static_cast<int>(piece)) fail(errno ? errno : EIO);
        done += piece;
      }
    }
  }
  buf_.clear();
}

std::optional<FileError> OutputFile::finish() {
  flush();
  errno = 0;
  if (plain_) {
    if (std::fclose(plain_) != 0) fail(errno ? errno : EIO);
    plain_ = nullptr;
  }
  if (gz_) {
    if (gzclose(gz_) != Z_OK) fail(errno ? errno : EIO);
    gz_ = nullptr;
  }
  return error_;
}

// ---- InputFile -----------------------------------------------------------

InputFile::InputFile(std::string path) : path_(std::move(path)) {
  errno = 0;
  gz_ = gzopen(path_.c_str(), "rb");
  if (!gz_) {
    const int code = errno ? errno : ENOMEM;
    error_ = FileError{true, code, path_ + ": " + std::strerror(code)};
    return;
  }
  gzbuffer(gz_, static_cast<unsigned>(kReadBlock));
}

InputFile::~InputFile() {
  if (gz_) gzclose(gz_);
}

bool InputFile::fill() {
  if (eof_ || error_) return false;
  if (!block_) block_ = std::make_unique_for_overwrite<char[]>(kReadBlock);
  errno = 0;
  const int n = gzread(gz_, block_.get(), static_cast<unsigned>(kReadBlock));
  if (n < 0) {
    int code = errno;
    int zerr = 0;
    const char* what = gzerror(gz_, &zerr);
    if (zerr == Z_ERRNO && code != 0) {
      error_ = FileError{true, code, path_ + ": " + std::strerror(code)};
    } else {
      error_ = FileError{false, 0, path_ + ": not a readable gzip stream (" + std::string(what ? what : "") + ")"};
    }
    size_ = 0;
    return false;
  }
  size_ = static_cast<std::size_t>(n);
  pos_ = 0;
  if (n == 0) eof_ = true;
  return n > 0;
}

std::optional<std::string_view> InputFile::next_line() {
  if (!gz_) return std::nullopt;
  line_buf_.clear();
  bool any = false;
  for (;;) {
    if (pos_ >= size_ && !fill()) break;
    any = true;
    const char* begin = block_.get() + pos_;
    const std::size_t left = size_ - pos_;
    const void* nl = std::memchr(begin, '\n', left);
    if (nl) {
      const auto len = static_cast<std::size_t>(static_cast<const char*>(nl) - begin);
      pos_ += len + 1;
      ++line_;
      std::string_view line;
      if (line_buf_.empty()) {
        line = std::string_view(begin, len);
      } else {
        line_buf_.append(begin, len);
        line = line_buf_;
      }
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      return line;
    }
    // The line runs past the block: keep its start and read on.
    line_buf_.append(begin, left);
    pos_ = size_;
  }
  if (error_ || !any || line_buf_.empty()) return std::nullopt;
  ++line_;
  std::string_view line = line_buf_;
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

FileError InputFile::format_error(std::string_view message) const {
  std::string text = path_;
  text += ':';
  append_index(text, line_);
  text += ": ";
  text += message;
  return FileError{false, 0, std::move(text)};
}

}  // namespace kest::io
