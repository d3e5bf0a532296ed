// Reading the pedigree file: a buffered, rewindable line source, the field
// count of the first line (GETNRFIELDS) and the free-format record read
// into FIELDS.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/format.h"
#include "common/sink.h"
#include "input/line_format.h"

namespace vm::input {

// Width of one element of FIELDS.
inline constexpr int kFieldWidth = kCodeWidth;

// What the free-format record read meets in the counting pass that the
// data checks tell of: records that continue on the next line, and codes
// longer than a field that became one code after the cut.
struct ReadNotes {
  int64_t continued_records = 0;
  int64_t first_continued_line = 0;
  int64_t merged_codes = 0;
  std::string merged_first, merged_second;
};

// The whole long values of a pass, to find those that the cut makes one.
class CutCodes {
 public:
  void add(std::string_view whole, ReadNotes& notes);

 private:
  TextTable whole_;  // the long values met
  TextTable cut_;    // their first 25 characters, each with
  std::vector<uint32_t> first_with_cut_;  // the first long value that has it
};

// The pedigree file (file number 11). Streams the file through a buffer
// of bounded size, whatever the length of a line. A carriage return
// directly before the line end belongs to the line end; a last line
// without a newline is a normal line.
//
// A line longer than the buffer is delivered in pieces, each cut right
// after a blank, tab, comma or slash (where a cut reads the same as a line
// end), and long stretches without such a character are shortened in ways
// that change no value the record read keeps (see squeeze in the .cpp).
// The reader also guards against a file that changes under the run: every
// rewind checks that the name still leads to the same file, of the same
// size and modification time, and refuses the run (FileError) when not.
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
  // The descriptor of an open file (-1 for memory), to compare files.
  int descriptor() const { return fd_; }

  // Starts the pass named `pass` (for messages) at the first line.
  void start_pass(std::string_view pass);
  // Back to the first line, in the same pass. Both check the file first.
  void rewind();
  // FileError when the file is no longer the one opened; `when` ends the
  // message ("as the animal pass began").
  void check_unchanged(std::string_view when) const;
  const std::string& pass() const { return pass_; }

  // The next line without its line end (its first piece when it is long;
  // the rest of the line before it is skipped unread); false at the end
  // of the file or on a read error (io_error() tells which). The view
  // stays valid until the next call.
  bool next_line(std::string_view& line);
  // The next piece of the current line, or else the next line.
  bool next_piece(std::string_view& piece);
  bool io_error() const { return io_error_; }
  // Why reading failed (the system's error text, or the line's length).
  const std::string& read_error() const { return read_error_; }
  // Number of lines begun since the last rewind.
  int64_t line_number() const { return line_number_; }
  // Bytes delivered since the last rewind, and the file's size when it was
  // opened: how far a pass has come.
  int64_t position() const { return buffer_start_ + static_cast<int64_t>(begin_); }
  int64_t size() const { return identity_.size; }
  // The line at which reading failed.
  int64_t fault_line() const { return line_number_ + (in_line_ ? 0 : 1); }

  // The option interface's reading, a record per line (line_format.h);
  // without it, the free-format record read.
  void set_line_format(std::shared_ptr<LineFormat> format) { format_ = std::move(format); }
  LineFormat* line_format() const { return format_.get(); }
  const std::shared_ptr<LineFormat>& shared_line_format() const { return format_; }
  // A code as it is shown: the whole code of a stand-in, else the field.
  std::string_view whole_code(std::string_view field) const {
    return format_ != nullptr ? format_->long_codes.whole(field) : field;
  }
  // The free-format read's notes of the counting pass.
  const ReadNotes& read_notes() const { return notes_; }
  bool noting() const { return noting_; }
  void note_continued(int64_t line) {
    if (notes_.continued_records++ == 0) notes_.first_continued_line = line;
  }
  void note_long_value(std::string_view whole) { cut_.add(whole, notes_); }

  // Whether the line delivered last goes on beyond the piece delivered.
  bool line_unfinished() const { return in_line_; }

  // Test seams: smaller limits, a stand-in for read(2) (to fail or to
  // read in small parts), and a call before each pass's check.
  struct Limits {
    size_t keep_head = size_t{8} << 10;   // first bytes of the first line kept whole
    size_t max_line = size_t{16} << 20;  // a longer line is squeezed or delivered in pieces
  };
  struct TestHooks {
    std::function<long(int fd, char* buffer, size_t size)> read;
    std::function<void(std::string_view pass)> before_pass;
  };
  void set_limits_for_test(Limits limits) { limits_ = limits; }
  void set_hooks_for_test(TestHooks hooks) { hooks_ = std::move(hooks); }

 private:
  struct Identity {
    uint64_t dev = 0, ino = 0;
    int64_t size = 0, mtime_sec = 0, mtime_nsec = 0;
  };
  bool fill();
  long read_some(char* buffer, size_t size);
  void skip_rest_of_line();
  bool take_piece(std::string_view& piece, bool new_line);
  void skip_byte_order_mark();
  void fail_read(std::string why);
  [[noreturn]] void changed(const std::string& what, std::string_view when) const;

  int fd_ = -1;
  std::string path_;
  std::string error_;
  std::string pass_;
  Identity identity_;
  bool from_memory_ = false;
  std::vector<char> buf_;
  size_t begin_ = 0, end_ = 0;
  int64_t buffer_start_ = 0;  // file offset of buf_[0], less what squeezing took out
  bool eof_ = false;
  bool io_error_ = false;
  bool in_line_ = false;  // a piece of the current line is out, its rest unread
  std::string read_error_;
  int64_t line_number_ = 0;
  Limits limits_;
  TestHooks hooks_;
  std::shared_ptr<LineFormat> format_;
  bool noting_ = false;
  ReadNotes notes_;
  CutCodes cut_;
};

// GETNRFIELDS: counts the fields of the first line (blank, tab and comma
// separate; runs of separators count once) and rewinds the file. A field
// longer than 25 characters that a separator ends writes the too-long
// message to the screen and stops the run (Stop with an empty message); a
// too-long last field writes the message and the run continues.
int32_t GETNRFIELDS(PedigreeFile& file, Sink& screen);

// What an option run asks of the reading: the separator (kDetect: from the
// first line), whether the first line is a header (kDetect: refused when
// it looks like one), and the fields by number or, with a header, by name.
struct LineRequest {
  enum class Header { kDetect, kYes, kNo };
  Separator separator = Separator::kDetect;
  Header header = Header::kDetect;
  std::vector<std::string> names;  // five names, or none
};

struct FieldNumbers;
// The option interface's counterpart of GETNRFIELDS: reads the first lines,
// gives the file its line format (separator, header, field count) and
// returns the field count; names in the request become field numbers in
// `numbers`. FileError (naming the file and the line) for a file without
// records, a header it was not told of, a name that is no column.
int32_t read_line_layout(PedigreeFile& file, const LineRequest& request, FieldNumbers& numbers);

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
ReadStatus read_record(PedigreeFile& file, Fields& fields, ReadFault* fault);

}  // namespace vm::input
