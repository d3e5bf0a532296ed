// Reading the pedigree file: a buffered, rewindable line source, the field
// count of the first line (GETNRFIELDS) and the free-format record read
// into FIELDS.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/sink.h"

namespace vm::input {

// Width of one element of FIELDS.
inline constexpr int kFieldWidth = 25;

// The pedigree file (file number 11). Streams the file through a large
// buffer; a line may be of any length. A carriage return directly before
// the line end belongs to the line end; a last line without a newline is a
// normal line.
class PedigreeFile {
 public:
  PedigreeFile() = default;
  ~PedigreeFile();
  PedigreeFile(const PedigreeFile&) = delete;
  PedigreeFile& operator=(const PedigreeFile&) = delete;

  // Opens an existing regular file for reading; false (with a reason in
  // error()) when it is missing, a folder or unreadable.
  bool open(const std::string& path);
  // Reads from memory instead of a file (tests, fuzzing).
  void open_memory(std::string contents);
  const std::string& error() const { return error_; }
  const std::string& path() const { return path_; }

  void rewind();
  // The next line without its line end; false at the end of the file or on
  // a read error (io_error() tells which). The view stays valid until the
  // next call.
  bool next_line(std::string_view& line);
  bool io_error() const { return io_error_; }
  // Number of lines delivered since the last rewind.
  int64_t line_number() const { return line_number_; }
  // Bytes delivered since the last rewind, and the file's size when it was
  // opened: how far a pass has come.
  int64_t position() const { return buffer_start_ + static_cast<int64_t>(begin_); }
  int64_t size() const { return size_; }

 private:
  bool fill();
  int fd_ = -1;
  std::string path_;
  std::string error_;
  bool from_memory_ = false;
  std::vector<char> buf_;
  size_t begin_ = 0, end_ = 0;
  int64_t buffer_start_ = 0;  // file offset of buf_[0]
  int64_t size_ = 0;
  bool eof_ = false;
  bool io_error_ = false;
  int64_t line_number_ = 0;
};

// GETNRFIELDS: counts the fields of the first line (blank, tab and comma
// separate; runs of separators count once) and rewinds the file. A field
// longer than 25 characters that a separator ends writes the too-long
// message to the screen and stops the run (Stop with an empty message); a
// too-long last field writes the message and the run continues.
int32_t GETNRFIELDS(PedigreeFile& file, Sink& screen);

// FIELDS: field-count texts of exactly 25 characters, indexed from 1.
class Fields {
 public:
  explicit Fields(int32_t count = 0);
  int32_t count() const { return count_; }
  // Field k (1..count), 25 characters, blank-padded.
  std::string_view get(int32_t k) const {
    return std::string_view(data_.data() + static_cast<size_t>(k - 1) * kFieldWidth, kFieldWidth);
  }
  void set(int32_t k, std::string_view value);  // first 25 characters, padded
  void blank();

 private:
  int32_t count_;
  std::vector<char> data_;
};

enum class ReadStatus { kOk, kEndOfFile, kError };

// The record read: fills FIELDS(1..count) by the free-format rules (quotes
// with doubled quotes, separators, null values, r*c and r*, the slash,
// continuation over lines, 25-character values). Fields the record does not
// supply keep their contents. kError: malformed input (an unterminated
// quote at the end of the file, a repeat count of 0 or too large for 32
// bits, a read failure).
ReadStatus read_record(PedigreeFile& file, Fields& fields);

// What made a read kError, and the line (counted from the last rewind)
// where the fault lies. A kEndOfFile read that ended inside a record (some
// values taken) also sets it; a clean end leaves it empty.
struct ReadFault {
  std::string what;
  int64_t line = 0;
};
ReadStatus read_record(PedigreeFile& file, Fields& fields, ReadFault& fault);

}  // namespace vm::input
