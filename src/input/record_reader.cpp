#include "input/record_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "common/format.h"
#include "common/stop.h"
#include "input/record_source.h"

namespace vm::input {

namespace {

// Lines are read through a buffer of this size; it grows only for a
// longer line (up to the line limit), so a normal pedigree costs one
// read() per mebibyte.
constexpr size_t kInitialBuffer = size_t{1} << 20;

// CHRLINE: the field count examines at most this many characters.
constexpr size_t kChrLine = 5000;
// The pedigree file's number, shown in the too-long message.
constexpr int kPedigreeUnit = 11;

bool is_space_or_tab(char c) { return c == ' ' || c == '\t'; }

// The characters that end an unquoted value. A table keeps the hot loop
// of the record read to one load and one test per character.
constexpr std::array<bool, 256> kEndsValue = [] {
  std::array<bool, 256> table{};
  for (unsigned char c : {' ', '\t', ',', '/'}) table[c] = true;
  return table;
}();

bool ends_value(char c) { return kEndsValue[static_cast<unsigned char>(c)]; }

// The characters of a value that the record read takes as it stands:
// none that ends a value, opens a quote or makes a repeat count.
constexpr std::array<bool, 256> kPlainValue = [] {
  std::array<bool, 256> table{};
  table.fill(true);
  for (unsigned char c : {' ', '\t', ',', '/', '\'', '"', '*'}) table[c] = false;
  return table;
}();

}  // namespace

// ---------------------------------------------------------------------------
// Shortening long stretches of a line
//
// Of each value the record read keeps the first 25 characters; beyond them
// only a few things in a line matter: where values end (blank, tab, comma,
// slash, line end), quotes (a quoted value ends at a single quote, a
// doubled one stands for one), and whether a value that begins with digits
// continues with '*' (a repeat count, which must lie within 1..2^31-1).
// squeeze() rewrites a part of a line so that none of these change:
// - a run of more than kLongRun equal quotes keeps kKeep of them, or one
//   more, so that the number stays odd or even;
// - a stretch of more than kLongRun characters that are no separators and
//   no quotes keeps its first and last kKeep characters (the last ones
//   hold a carriage return before the line end), and when it begins with
//   digits, that digit run is shortened on its own: its first and last
//   kKeep digits, with the first digit other than 0 from between them, so
//   that a count stays 0, stays the same, or stays beyond 2^31-1. Where the
//   digits end, the kKeep characters after them are kept too (what follows
//   a '*'). A part that begins inside a stretch is itself such a stretch.
// Applied again as the line grows, each step changes nothing the read sees.

namespace {

constexpr size_t kLongRun = 512;
constexpr size_t kKeep = 128;

bool is_quote(char c) { return c == '\'' || c == '"'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Appends p[from, to) at out (never ahead of from); returns the new out.
size_t keep(char* p, size_t out, size_t from, size_t to) {
  if (out != from) std::memmove(p + out, p + from, to - from);
  return out + (to - from);
}

size_t squeeze_digits(char* p, size_t out, size_t i, size_t end) {
  if (end - i <= kLongRun) return keep(p, out, i, end);
  out = keep(p, out, i, i + kKeep);
  char* middle = p + i + kKeep;
  char* nonzero = std::find_if(middle, p + end - kKeep, [](char c) { return c != '0'; });
  if (nonzero != p + end - kKeep) p[out++] = *nonzero;
  return keep(p, out, end - kKeep, end);
}

size_t squeeze_stretch(char* p, size_t out, size_t i, size_t end) {
  size_t digits_end = i;
  while (digits_end < end && is_digit(p[digits_end])) ++digits_end;
  out = squeeze_digits(p, out, i, digits_end);
  if (end - digits_end <= kLongRun) return keep(p, out, digits_end, end);
  out = keep(p, out, digits_end, digits_end + kKeep);
  return keep(p, out, end - kKeep, end);
}

// Rewrites p[0, n) in place as described above; returns its new length.
size_t squeeze(char* p, size_t n) {
  size_t out = 0;
  for (size_t i = 0; i < n;) {
    const char c = p[i];
    size_t j = i + 1;
    if (ends_value(c)) {
      p[out++] = c;
    } else if (is_quote(c)) {
      while (j < n && p[j] == c) ++j;
      const size_t run = j - i;
      const size_t kept = run > kLongRun ? kKeep + run % 2 : run;
      std::memset(p + out, c, kept);
      out += kept;
    } else {
      while (j < n && !ends_value(p[j]) && !is_quote(p[j])) ++j;
      out = squeeze_stretch(p, out, i, j);
    }
    i = j;
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// PedigreeFile

PedigreeFile::~PedigreeFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool PedigreeFile::open(const std::string& path) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_ = path;
  error_.clear();
  from_memory_ = false;
  // O_NONBLOCK keeps a FIFO from hanging the open before it can be refused.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    error_ = err == ENOENT ? "file does not exist" : std::string("cannot be opened: ") + std::strerror(err);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error_ = std::string("cannot be examined: ") + std::strerror(errno);
    ::close(fd);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    error_ = S_ISDIR(st.st_mode) ? "is a folder, not a file" : "is not a regular file";
    ::close(fd);
    return false;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  fd_ = fd;
  identity_ = {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_size),
               static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)};
  if (buf_.size() < kInitialBuffer) buf_.resize(kInitialBuffer);
  pass_.clear();
  rewind();
  return true;
}

void PedigreeFile::open_memory(std::string contents) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  path_.clear();
  error_.clear();
  from_memory_ = true;
  buf_.assign(contents.begin(), contents.end());
  identity_ = {};
  identity_.size = static_cast<int64_t>(buf_.size());
  rewind();
}

void PedigreeFile::start_pass(std::string_view pass) {
  pass_ = pass;
  noting_ = pass == "counting" && format_ == nullptr;
  rewind();
}

void PedigreeFile::rewind() {
  if (hooks_.before_pass) hooks_.before_pass(pass_);
  check_unchanged(pass_.empty() ? std::string() : "as the " + pass_ + " pass began");
  begin_ = 0;
  buffer_start_ = 0;
  line_number_ = 0;
  io_error_ = false;
  in_line_ = false;
  read_error_.clear();
  if (from_memory_) {
    end_ = buf_.size();
    eof_ = true;
    return;
  }
  end_ = 0;
  eof_ = fd_ < 0;
  if (fd_ >= 0 && ::lseek(fd_, 0, SEEK_SET) < 0) fail_read(std::strerror(errno));
}

void PedigreeFile::changed(const std::string& what, std::string_view when) const {
  throw FileError{"pedigree file \"" + path_ + "\" changed during the run: " + what +
                  (when.empty() ? std::string() : " (seen " + std::string(when) + ")")};
}

// The name must still lead to the file opened, and its size and
// modification time must be those it had then.
void PedigreeFile::check_unchanged(std::string_view when) const {
  if (fd_ < 0) return;
  struct stat now {};
  if (::fstat(fd_, &now) != 0) changed(std::string("it cannot be examined: ") + std::strerror(errno), when);
  if (static_cast<int64_t>(now.st_size) != identity_.size) {
    changed("it had " + std::to_string(identity_.size) + " bytes and has " + std::to_string(now.st_size), when);
  }
  if (now.st_mtim.tv_sec != identity_.mtime_sec || now.st_mtim.tv_nsec != identity_.mtime_nsec) {
    changed("it was written to", when);
  }
  struct stat named {};
  if (::stat(path_.c_str(), &named) != 0 || static_cast<uint64_t>(named.st_dev) != identity_.dev ||
      static_cast<uint64_t>(named.st_ino) != identity_.ino) {
    changed("its name now leads to another file, or to none", when);
  }
}

void PedigreeFile::fail_read(std::string why) {
  io_error_ = true;
  eof_ = true;
  read_error_ = std::move(why);
}

long PedigreeFile::read_some(char* buffer, size_t size) {
  if (hooks_.read) return hooks_.read(fd_, buffer, size);
  return static_cast<long>(::read(fd_, buffer, size));
}

// Moves the unread tail to the front, doubles the buffer when the tail
// fills it, and reads as much as fits. False when nothing more can come.
bool PedigreeFile::fill() {
  if (eof_) return false;
  if (begin_ > 0) {
    std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
    buffer_start_ += static_cast<int64_t>(begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buf_.size()) buf_.resize(std::max(kInitialBuffer, std::min(buf_.size() * 2, limits_.max_line)));
  for (;;) {
    const long n = read_some(buf_.data() + end_, buf_.size() - end_);
    if (n > 0) {
      end_ += static_cast<size_t>(n);
      return true;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      fail_read(std::strerror(errno));
      return false;
    }
    eof_ = true;
    return false;
  }
}

// Reads past the rest of a line of which a piece was delivered, without
// keeping it. A hole in a sparse file holds only NUL bytes, no line end:
// it is passed over without reading it.
void PedigreeFile::skip_rest_of_line() {
  while (in_line_) {
    const void* nl = begin_ < end_ ? std::memchr(buf_.data() + begin_, '\n', end_ - begin_) : nullptr;
    if (nl != nullptr) {
      begin_ = static_cast<size_t>(static_cast<const char*>(nl) - buf_.data()) + 1;
      in_line_ = false;
      return;
    }
    buffer_start_ += static_cast<int64_t>(end_);
    begin_ = end_ = 0;
    if (fd_ >= 0) {
      const off_t here = ::lseek(fd_, 0, SEEK_CUR);
      const off_t data = here < 0 ? -1 : ::lseek(fd_, here, SEEK_DATA);
      if (data < 0 && errno == ENXIO) eof_ = true;  // only a hole up to the end
      if (data > here) buffer_start_ += data - here;
    }
    if (!fill()) return;
  }
}

// A byte-order mark that an editor put before the first line is no part
// of the first animal's code.
void PedigreeFile::skip_byte_order_mark() {
  while (end_ < 3 && fill()) {
  }
  if (end_ >= kByteOrderMark.size() && std::memcmp(buf_.data(), kByteOrderMark.data(), kByteOrderMark.size()) == 0) begin_ = kByteOrderMark.size();
}

bool PedigreeFile::next_line(std::string_view& line) {
  skip_rest_of_line();
  if (in_line_) return false;  // the rest could not be read
  return take_piece(line, true);
}

bool PedigreeFile::next_piece(std::string_view& piece) { return take_piece(piece, !in_line_); }

// The rest of the line, up to its end when that is near; a long line is
// cut after its last separator, or else squeezed (beyond the head that the
// field count examines).
bool PedigreeFile::take_piece(std::string_view& piece, bool new_line) {
  if (new_line && line_number_ == 0 && buffer_start_ == 0 && begin_ == 0) skip_byte_order_mark();
  size_t scanned = begin_;  // bytes before this are known to hold no '\n'
  for (;;) {
    const char* base = buf_.data();
    const void* nl = scanned < end_ ? std::memchr(base + scanned, '\n', end_ - scanned) : nullptr;
    size_t stop = 0;
    size_t next = 0;
    if (nl != nullptr) {
      stop = static_cast<size_t>(static_cast<const char*>(nl) - base);
      next = stop + 1;
    } else if (io_error_) {
      return false;  // a line cut short by a failed read is no line
    } else if (eof_) {
      if (begin_ == end_) {
        in_line_ = false;
        return false;
      }
      stop = next = end_;  // a last line without its newline
    } else if (end_ - begin_ >= limits_.max_line) {
      // The field count examines the head of the file's first line whole.
      const size_t head = std::min(end_, begin_ + (new_line && line_number_ == 0 ? limits_.keep_head : 0));
      const char* cut = base + end_;
      const char* const lowest = base + std::max(head, begin_ + 1);
      while (cut > lowest && !ends_value(cut[-1])) --cut;
      if (cut > base + begin_ && ends_value(cut[-1])) {
        piece = std::string_view(base + begin_, static_cast<size_t>(cut - base) - begin_);
        begin_ = static_cast<size_t>(cut - base);
        if (new_line) ++line_number_;
        in_line_ = true;
        return true;
      }
      const size_t squeezed_end = head + squeeze(buf_.data() + head, end_ - head);
      buffer_start_ += static_cast<int64_t>(end_ - squeezed_end);
      end_ = squeezed_end;
      scanned = end_;
      if (end_ - begin_ <= limits_.max_line / 2) continue;
      if (new_line) ++line_number_;
      in_line_ = true;
      fail_read("the line is longer than " + std::to_string(limits_.max_line >> 20) +
                " MB without a blank, tab, comma or slash that it could be read in parts at");
      return false;
    } else {
      const size_t offset = end_ - begin_;
      fill();
      scanned = begin_ + offset;
      continue;
    }
    size_t len = stop - begin_;
    if (len > 0 && base[begin_ + len - 1] == '\r') --len;
    piece = std::string_view(base + begin_, len);
    begin_ = next;
    if (new_line) ++line_number_;
    in_line_ = false;
    return true;
  }
}

// ---------------------------------------------------------------------------
// Codes that the cut makes one

void CutCodes::add(std::string_view whole, ReadNotes& notes) {
  if (whole_.find(whole) != TextTable::kNone) return;
  const uint32_t number = whole_.add(whole);
  const std::string_view cut = whole.substr(0, kFieldWidth);
  const uint32_t seen = cut_.find(cut);
  if (seen == TextTable::kNone) {
    cut_.add(cut);
    first_with_cut_.push_back(number);
    return;
  }
  if (notes.merged_codes++ == 0) {
    notes.merged_first = whole_.text(first_with_cut_[seen]);
    notes.merged_second = whole;
  }
}

// ---------------------------------------------------------------------------
// GETNRFIELDS

namespace {

bool is_count_separator(char c) { return c == ' ' || c == '\t' || c == ','; }

[[nodiscard]] std::string too_long_message(std::string_view chrline_part) {
  return FreeLine()
      .text("Field length longer than current maximum of ")
      .num(kFieldWidth)
      .text("DATA record ")
      .text(chrline_part)
      .text("Unit ")
      .num(kPedigreeUnit)
      .str();
}

}  // namespace

int32_t GETNRFIELDS(PedigreeFile& file, Sink& screen) {
  // CHRLINE: the first line cut to 5000 characters; the blank padding is
  // implicit, only the part up to the last non-blank is examined.
  std::string chrline;
  std::string_view first;
  if (file.next_line(first)) chrline.assign(first.substr(0, kChrLine));
  file.rewind();

  size_t last = chrline.find_last_not_of(' ');
  const size_t L = last == std::string::npos ? 0 : last + 1;
  chrline.resize(std::min(L + 1, kChrLine), ' ');

  int32_t count = 1;
  size_t last_sep = 0;  // 1-based position of the last separator, 0 = none
  bool prev_sep = true;
  for (size_t i = 1; i <= L; ++i) {
    if (!is_count_separator(chrline[i - 1])) {
      prev_sep = false;
      continue;
    }
    if (!prev_sep) {
      ++count;
      if (last_sep != 0 && i - last_sep - 1 > static_cast<size_t>(kFieldWidth)) {
        screen.write(too_long_message(std::string_view(chrline).substr(0, i)));
        throw Stop{""};
      }
    }
    last_sep = i;
    prev_sep = true;
  }
  if (last_sep != 0 && L - last_sep > static_cast<size_t>(kFieldWidth)) {
    screen.write(too_long_message(chrline));  // up to position L + 1, at most 5000
  }
  return count;
}

// ---------------------------------------------------------------------------
// Fields

Fields::Fields(int32_t count)
    : count_(count), data_(static_cast<size_t>(std::max(count, 0)) * kFieldWidth, ' ') {}

void Fields::set(int32_t k, std::string_view value) {
  // Fixed-size copies compile to a few moves; values are mostly short.
  char* dst = data_.data() + static_cast<size_t>(k - 1) * kFieldWidth;
  if (value.size() >= static_cast<size_t>(kFieldWidth)) {
    std::memcpy(dst, value.data(), kFieldWidth);
    return;
  }
  std::memset(dst, ' ', kFieldWidth);
  std::memcpy(dst, value.data(), value.size());
}

void Fields::blank() { std::fill(data_.begin(), data_.end(), ' '); }

// ---------------------------------------------------------------------------
// The record read

namespace {

// A value as it will be stored: only its first 25 characters are kept,
// so a value of any length costs no allocation.
class Value {
 public:
  void clear() { len_ = 0; }
  void append(std::string_view s) {
    size_t n = std::min(s.size(), static_cast<size_t>(kFieldWidth) - len_);
    if (n > 0) std::memcpy(text_ + len_, s.data(), n);
    len_ += n;
  }
  std::string_view view() const { return std::string_view(text_, len_); }

 private:
  char text_[kFieldWidth];
  size_t len_ = 0;
};

// One record read: walks the lines of the file from the next line on,
// taking values into FIELDS until the list is complete. The take_ steps
// return false on malformed input, which the read reports as kError.
class RecordParser {
 public:
  RecordParser(PedigreeFile& file, Fields& fields, ReadFault* fault) : file_(file), fields_(fields), fault_(fault) {}

  ReadStatus run() {
    if (!file_.next_line(line_)) return end_status();
    if (read_plain_line()) return ReadStatus::kOk;
    const ReadStatus status = read_values();
    if (status == ReadStatus::kOk && file_.noting() && file_.line_number() != first_line_) {
      file_.note_continued(first_line_);
    }
    return status;
  }

 private:
  ReadStatus read_values() {
    const int32_t n = fields_.count();
    bool comma_gives_null = true;  // at the record start or after a comma
    while (k_ <= n) {
      if (!skip_blanks()) return end_status();
      if (first_line_ == 0) first_line_ = file_.line_number();  // blank lines before a record are none of it
      char c = line_[pos_];
      if (c == ',') {
        ++pos_;
        if (comma_gives_null) ++k_;
        comma_gives_null = true;
        continue;
      }
      if (c == '/') return ReadStatus::kOk;
      if (!take_value()) return fail(fault_what_, fault_line_);
      comma_gives_null = false;
    }
    // Whatever is left of the completing line is skipped: the next read
    // starts on the line after it.
    return ReadStatus::kOk;
  }

  // Nearly every record is one line of values between blanks or tabs,
  // with no quote, comma, slash or '*' in it: one scan per value reads it.
  // Any other line is read again from its start by the full rules, which
  // give the fields set here the same values.
  bool read_plain_line() {
    if (file_.line_unfinished()) return false;
    const char* p = line_.data();
    const char* const end = p + line_.size();
    const int32_t n = fields_.count();
    for (int32_t k = 1; k <= n; ++k) {
      while (p < end && is_space_or_tab(*p)) ++p;
      const char* const start = p;
      while (p < end && kPlainValue[static_cast<unsigned char>(*p)]) ++p;
      if (p == start || (p < end && !is_space_or_tab(*p))) return false;
      const std::string_view text(start, static_cast<size_t>(p - start));
      if (text.size() > static_cast<size_t>(kFieldWidth) && file_.noting()) file_.note_long_value(text);
      fields_.set(k, text);
    }
    return true;
  }

  ReadStatus end_status() {
    if (file_.io_error()) return fail(read_failure(), file_.fault_line());
    // The file ended inside a record: tell the caller where, so that a cut
    // last record is not taken for a clean end.
    if (k_ > 1 && fault_ != nullptr) {
      fault_->what = "the file ends inside a record that has fewer values than the first line";
      fault_->line = file_.line_number();
    }
    return ReadStatus::kEndOfFile;
  }

  std::string read_failure() const { return "the file cannot be read: " + file_.read_error(); }

  ReadStatus fail(std::string what, int64_t line) {
    if (fault_ != nullptr) {
      fault_->what = std::move(what);
      fault_->line = line;
    }
    return ReadStatus::kError;
  }

  bool at_value_end() const { return pos_ >= line_.size() || ends_value(line_[pos_]); }

  // Skips blanks, tabs and line ends; false at the end of the file.
  bool skip_blanks() {
    for (;;) {
      while (pos_ < line_.size() && is_space_or_tab(line_[pos_])) ++pos_;
      if (pos_ < line_.size()) return true;
      if (!file_.next_piece(line_)) return false;
      pos_ = 0;
    }
  }

  // At pos_: a value, r null values (r*) or r copies of a value (r*c).
  bool take_value() {
    int32_t repeat = 1;
    bool has_repeat = false;
    if (!take_repeat(has_repeat, repeat)) return false;
    if (has_repeat && at_value_end()) {
      skip_fields(repeat);
      return true;
    }
    std::string_view text;
    if (!take_text(text)) return false;
    for (int32_t i = 0; i < repeat && k_ <= fields_.count(); ++i) fields_.set(k_++, text);
    return true;
  }

  // A repeat count is one or more digits directly followed by '*'; any
  // other text (A*B, *AB, 12AB) is an ordinary value.
  bool take_repeat(bool& has_repeat, int32_t& repeat) {
    size_t j = pos_;
    while (j < line_.size() && line_[j] >= '0' && line_[j] <= '9') ++j;
    if (j == pos_ || j >= line_.size() || line_[j] != '*') return true;
    int64_t r = 0;
    for (size_t i = pos_; i < j; ++i) {
      r = r * 10 + (line_[i] - '0');
      if (r > INT32_MAX) return fault("a repeat count (r*) is larger than 2147483647");
    }
    if (r == 0) return fault("a repeat count (r*) is 0");
    repeat = static_cast<int32_t>(r);
    has_repeat = true;
    pos_ = j + 1;
    return true;
  }

  // Null values: the fields keep their contents. A count beyond the list
  // only fills the list.
  void skip_fields(int32_t r) {
    int64_t k = std::min<int64_t>(int64_t{k_} + r, int64_t{fields_.count()} + 1);
    k_ = static_cast<int32_t>(k);
  }

  // The value at pos_; an unquoted one is a view into the line, valid
  // until the next line is fetched.
  bool take_text(std::string_view& text) {
    char c = line_[pos_];
    if (c == '\'' || c == '"') {
      value_.clear();
      whole_.clear();
      if (!take_quoted(c)) return false;
      text = value_.view();
      if (whole_.size() > static_cast<size_t>(kFieldWidth)) file_.note_long_value(whole_);
      return true;
    }
    size_t j = pos_;
    while (j < line_.size() && !ends_value(line_[j])) ++j;
    text = line_.substr(pos_, j - pos_);
    if (text.size() > static_cast<size_t>(kFieldWidth) && file_.noting()) file_.note_long_value(text);
    pos_ = j;
    return true;
  }

  // A quoted value may run over line ends, which add nothing to it; a
  // doubled quote stands for one. The closing quote must be followed by a
  // separator, a slash or the line end.
  bool take_quoted(char quote) {
    ++pos_;
    const int64_t opened = file_.line_number();
    for (;;) {
      size_t rest = line_.size() - pos_;
      const void* hit = rest > 0 ? std::memchr(line_.data() + pos_, quote, rest) : nullptr;
      if (hit == nullptr) {
        append(line_.substr(pos_));
        if (!file_.next_piece(line_)) {
          if (file_.io_error()) return fault_at(read_failure(), file_.fault_line());
          return fault_at("a quoted value is not closed before the end of the file", opened);
        }
        pos_ = 0;
        continue;
      }
      size_t at = static_cast<size_t>(static_cast<const char*>(hit) - line_.data());
      append(line_.substr(pos_, at - pos_));
      pos_ = at + 1;
      if (pos_ < line_.size() && line_[pos_] == quote) {
        append(std::string_view(&quote, 1));
        ++pos_;
        continue;
      }
      if (!at_value_end()) return fault("a closing quote is followed by more text");
      return true;
    }
  }

  // A part of a quoted value: kept to 25 characters, and whole while the
  // pass notes long codes.
  void append(std::string_view part) {
    value_.append(part);
    if (file_.noting()) whole_.append(part);
  }

  // Notes why the value at hand is malformed; false.
  bool fault(const char* what) { return fault_at(what, file_.line_number()); }
  bool fault_at(std::string what, int64_t line) {
    fault_what_ = std::move(what);
    fault_line_ = line;
    return false;
  }

  PedigreeFile& file_;
  Fields& fields_;
  std::string_view line_;
  size_t pos_ = 0;
  int32_t k_ = 1;
  Value value_;
  std::string whole_;
  int64_t first_line_ = 0;  // where the record's first value is
  ReadFault* fault_;
  std::string fault_what_;
  int64_t fault_line_ = 0;
};

}  // namespace

// ---------------------------------------------------------------------------
// A record per line (the option interface)

namespace {

ReadStatus line_fault(ReadFault* fault, std::string what, int64_t line) {
  if (fault != nullptr) {
    fault->what = std::move(what);
    fault->line = line;
  }
  return ReadStatus::kError;
}

// The next line that holds a record: blank lines and the header are
// skipped. False at the end of the file or on a fault (`status`).
bool next_record_line(PedigreeFile& file, const LineFormat& format, std::string_view& line, ReadFault* fault,
                      ReadStatus& status) {
  for (;;) {
    if (!file.next_line(line)) {
      status = file.io_error() ? line_fault(fault, "the file cannot be read: " + file.read_error(), file.fault_line())
                               : ReadStatus::kEndOfFile;
      return false;
    }
    if (file.line_unfinished()) {
      status = line_fault(fault, "the line is longer than " + std::to_string(PedigreeFile::Limits{}.max_line >> 20) +
                                     " MB", file.line_number());
      return false;
    }
    if (file.line_number() != format.header_line && !is_blank_line(line, format.separator)) return true;
  }
}

std::string field_count_cause(size_t found, int32_t expected, Separator separator) {
  if (static_cast<int64_t>(found) > expected) {
    return separator == Separator::kBlank ? "a value with a blank that is not quoted?"
                                          : "a separator inside a value that is not quoted?";
  }
  return separator == Separator::kBlank ? "a missing value (an unknown parent must be written, as 0 or NA)?"
                                        : "a missing separator, or a line cut short?";
}

ReadStatus read_line_record(PedigreeFile& file, LineFormat& format, Fields& fields, ReadFault* fault) {
  std::string_view line;
  ReadStatus status = ReadStatus::kOk;
  if (!next_record_line(file, format, line, fault, status)) return status;
  const int64_t at = file.line_number();
  LineSplitter& splitter = format.splitter;
  if (!splitter.split(line)) return line_fault(fault, splitter.error(), at);
  const std::vector<std::string_view>& values = splitter.values();
  if (static_cast<int64_t>(values.size()) != format.fields) {
    return line_fault(fault,
                      "the line has " + std::to_string(values.size()) + " fields where the first record has " +
                          std::to_string(format.fields) + " (" +
                          field_count_cause(values.size(), format.fields, format.separator) + ")",
                      at);
  }
  for (const int32_t k : format.used) {
    const std::string_view value = values[static_cast<size_t>(k) - 1];
    if (value.size() > kMaxValueLength) {
      return line_fault(fault,
                        "field " + std::to_string(k) + " holds " + std::to_string(value.size()) +
                            " characters, more than the " + std::to_string(kMaxValueLength) + " a code may have",
                        at);
    }
    if (value.size() <= static_cast<size_t>(kFieldWidth) &&
        (!splitter.holds_mark() || !LongCodes::needs_stand_in(value, kFieldWidth))) {
      fields.set(k, value);
      continue;
    }
    LongCodes::StandIn stand_in;
    if (!format.long_codes.stand_in(value, stand_in)) {
      return line_fault(fault, "field " + std::to_string(k) + " holds a code that the counting pass did not read", at);
    }
    fields.set(k, std::string_view(stand_in.data(), stand_in.size()));
  }
  for (const RequiredField& required : format.required) {
    if (values[static_cast<size_t>(required.number) - 1].empty()) {
      return line_fault(fault,
                        std::string("the ") + required.what + " field (field " + std::to_string(required.number) +
                            ") is empty; every record needs an animal, a population and a period",
                        at);
    }
  }
  return ReadStatus::kOk;
}

[[noreturn]] void layout_error(const PedigreeFile& file, const std::string& what) {
  throw FileError{"pedigree file \"" + file.path() + "\"" + what};
}

std::string column_list(const std::vector<std::string>& header) {
  std::string list;
  for (const std::string& name : header) list += (list.empty() ? "" : ", ") + ("\"" + name + "\"");
  return list;
}

}  // namespace

ReadStatus read_record(PedigreeFile& file, Fields& fields) { return read_record(file, fields, nullptr); }

ReadStatus read_record(PedigreeFile& file, Fields& fields, ReadFault& fault) { return read_record(file, fields, &fault); }

ReadStatus read_record(PedigreeFile& file, Fields& fields, ReadFault* fault) {
  if (LineFormat* format = file.line_format()) return read_line_record(file, *format, fields, fault);
  return RecordParser(file, fields, fault).run();
}

int32_t read_line_layout(PedigreeFile& file, const LineRequest& request, FieldNumbers& numbers) {
  auto format = std::make_shared<LineFormat>();
  file.rewind();
  std::string_view line;
  ReadStatus status = ReadStatus::kOk;
  ReadFault fault;
  if (!next_record_line(file, *format, line, &fault, status)) {
    if (status == ReadStatus::kError) layout_error(file, ", line " + std::to_string(fault.line) + ": " + fault.what);
    layout_error(file, ": the file holds no records");
  }
  format->separator = request.separator == Separator::kDetect ? detect_separator(line) : request.separator;
  format->splitter = LineSplitter(format->separator);
  const int64_t first = file.line_number();
  if (!format->splitter.split(line)) layout_error(file, ", line " + std::to_string(first) + ": " + format->splitter.error());
  std::vector<std::string_view> values = format->splitter.values();
  const bool header = request.header == LineRequest::Header::kYes;
  if (header) {
    format->header_line = first;
    format->header.assign(values.begin(), values.end());
    if (!next_record_line(file, *format, line, &fault, status)) {
      if (status == ReadStatus::kError) layout_error(file, ", line " + std::to_string(fault.line) + ": " + fault.what);
      layout_error(file, ": the file holds a header line and no records");
    }
    if (!format->splitter.split(line)) {
      layout_error(file, ", line " + std::to_string(file.line_number()) + ": " + format->splitter.error());
    }
    values = format->splitter.values();
  }
  format->fields = static_cast<int32_t>(values.size());
  if (!request.names.empty()) {
    if (!header) layout_error(file, ": --fields names columns, which needs --header (the first line holds the names)");
    // R's write.table names every column but the row names: a header one
    // name short names the fields after the first.
    const auto names = static_cast<int64_t>(format->header.size());
    const int32_t shift = names + 1 == format->fields ? 1 : 0;
    if (names + shift != format->fields) {
      layout_error(file, ": the header line (line " + std::to_string(first) + ") names " + std::to_string(names) +
                             " columns and the first record has " + std::to_string(format->fields) +
                             " fields, so the names cannot be matched to the fields (a separator inside a name?)");
    }
    int32_t* targets[5] = {&numbers.animal, &numbers.sire, &numbers.dam, &numbers.pop, &numbers.period};
    for (size_t k = 0; k < 5 && k < request.names.size(); ++k) {
      const int32_t column = column_of(format->header, request.names[k]) + shift;
      if (column == shift) {
        layout_error(file, ": the header line (line " + std::to_string(first) + ") has no column \"" + request.names[k] +
                               "\"; its columns are " + column_list(format->header));
      }
      *targets[k] = column;
    }
  }
  if (request.header == LineRequest::Header::kDetect && looks_like_header(values, numbers.sire, numbers.dam)) {
    layout_error(file, ", line " + std::to_string(first) +
                           ": the first line looks like a header line (column names); add --header to skip it, "
                           "or --no-header to read it as a record");
  }
  format->used = {numbers.animal, numbers.sire, numbers.dam, numbers.pop, numbers.period};
  std::sort(format->used.begin(), format->used.end());
  format->used.erase(std::unique(format->used.begin(), format->used.end()), format->used.end());
  // Numbers beyond the fields are refused by the caller, as in every run;
  // only those within are read.
  std::erase_if(format->used, [&](int32_t k) { return k < 1 || k > format->fields; });
  format->required = {{numbers.animal, "animal"}, {numbers.pop, "population"}, {numbers.period, "period"}};
  std::erase_if(format->required, [&](const RequiredField& r) { return r.number < 1 || r.number > format->fields; });
  file.set_line_format(std::move(format));
  file.rewind();
  return file.line_format()->fields;
}

}  // namespace vm::input
