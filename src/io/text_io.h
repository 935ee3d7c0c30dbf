#pragma once
// Buffered text files for the model readers and writers: plain, or gzip
// compressed when the path ends in ".gz". Numbers are written in the shortest
// form that reads back to the same double and read with from_chars, so a
// value survives a write and a read bit for bit.
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "io/model_data.h"

namespace kest::io {

bool ends_with_gz(std::string_view path);

/// Appends the shortest decimal text of v that reads back as v; infinities
/// as "inf"/"-inf" and NaN as "nan".
void append_number(std::string& out, double v);
void append_index(std::string& out, std::uint64_t v);

/// Reads a whole token as a number: an optional sign, decimal or exponent
/// form, and the spellings inf, infinity and nan in any case. A value beyond
/// the range of double is an infinity of its sign, one below it zero.
std::optional<double> parse_number(std::string_view text);

/// Text written to a file in large blocks. Failures are kept, not thrown:
/// after the first one writes do nothing and finish() reports it.
class OutputFile {
 public:
  explicit OutputFile(std::string path);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  /// The buffer to append to; flushed by maybe_flush() and finish().
  std::string& text() { return buf_; }
  void maybe_flush() {
    if (buf_.size() >= kBlock) flush();
  }
  /// Writes what is left and closes the file: the first failure, if any.
  std::optional<FileError> finish();

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 20;
  void flush();
  void fail(int code);
  std::string path_;
  std::string buf_;
  std::FILE* plain_ = nullptr;
  gzFile gz_ = nullptr;
  std::optional<FileError> error_;
};

/// A file read line by line, plain or gzip (by content, whatever the name).
/// A line is handed out without its end ("\n", "\r\n" or a lone "\r" before
/// "\n"); NUL bytes stay in it for the parser to refuse.
class InputFile {
 public:
  explicit InputFile(std::string path);
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  /// The open failure, if any.
  const std::optional<FileError>& error() const { return error_; }
  /// The next line, or nullopt at the end of the file or on a read error
  /// (error() then says which).
  std::optional<std::string_view> next_line();
  std::uint64_t line_number() const { return line_; }
  const std::string& path() const { return path_; }
  /// "path:line: message" for the line last handed out.
  FileError format_error(std::string_view message) const;

 private:
  bool fill();
  std::string path_;
  gzFile gz_ = nullptr;
  std::unique_ptr<char[]> block_;
  std::size_t size_ = 0;  // bytes of block_ in use
  std::size_t pos_ = 0;
  bool eof_ = false;
  std::string line_buf_;
  std::uint64_t line_ = 0;
  std::optional<FileError> error_;
};

/// Whether text is well-formed UTF-8 (names must be: they become str).
bool valid_utf8(std::string_view text);

/// Splits a line at runs of spaces and tabs into at most `max` tokens;
/// returns how many there were (more than max means the line had more).
std::size_t split_fields(std::string_view line, std::string_view* out, std::size_t max);

}  // namespace kest::io
