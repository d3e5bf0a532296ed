// Where lines go: the screen, the log, the output file, channel 9, or a
// string in tests. Every stage writes whole lines through a Sink.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace vm {

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(std::string_view text) = 0;
  virtual void flush() {}
  // A person watches it (standard output on a terminal).
  virtual bool is_terminal() const { return false; }
};

// The run's two running records: progress and errors on the screen, the
// detailed account in the log.
struct Report {
  Sink& screen;
  Sink& log;
};

// Collects everything written; used by tests and by work done ahead of
// its turn (a period computed on another thread).
class StringSink : public Sink {
 public:
  void write(std::string_view text) override { data.append(text); }
  std::string data;
};

// Discards everything.
class NullSink : public Sink {
 public:
  void write(std::string_view) override {}
};

// A file created (or overwritten) for writing, with a large buffer. A
// failed write is remembered and reported by close(), so a full disk is
// never taken for success.
class FileSink : public Sink {
 public:
  FileSink() = default;
  ~FileSink() override;
  FileSink(const FileSink&) = delete;
  FileSink& operator=(const FileSink&) = delete;

  // Creates or truncates the file; false when it cannot be created.
  bool open(const std::string& path);
  // Writes to the descriptor `fd`, open for writing, under the name `path`.
  bool adopt(int fd, const std::string& path);
  bool is_open() const { return file_ != nullptr; }
  const std::string& path() const { return path_; }
  void write(std::string_view text) override;
  void flush() override;
  // Flushes and closes; false (errno set when known) when any write, the
  // flush or the close failed.
  bool close();
  bool failed() const { return failed_; }

 private:
  void fail();
  std::FILE* file_ = nullptr;
  std::string path_;
  bool failed_ = false;
  int error_ = 0;
};

// A file written whole or not at all: the text goes to a temporary file
// in the same folder, which replaces the file by a rename only when
// commit() finds every write, the flush and the sync done. Without a
// commit (an error, a stop) the temporary file is removed and the file
// stays as it was. A name that leads through a symbolic link replaces the
// file the link points to; a name of something that is not a regular file
// (a pipe, /dev/stdout) is written directly.
class WholeFileSink : public Sink {
 public:
  WholeFileSink() = default;
  ~WholeFileSink() override;
  WholeFileSink(const WholeFileSink&) = delete;
  WholeFileSink& operator=(const WholeFileSink&) = delete;

  // Creates the temporary file; false (errno set) when it cannot be made.
  bool open(const std::string& path);
  const std::string& path() const { return path_; }
  // The descriptor written to (-1 when not open), to compare files.
  int descriptor() const { return file_ ? ::fileno(file_) : -1; }
  void write(std::string_view text) override;
  // False (errno set when known) when any write, the flush, the sync, the
  // close or the rename failed; the file is then left as it was.
  bool commit();

 private:
  void discard();
  std::FILE* file_ = nullptr;
  std::string path_, target_, temp_;
  bool failed_ = false;
  int error_ = 0;
};

// Standard output; flushed before every stop and every dialogue read.
class StdoutSink : public Sink {
 public:
  void write(std::string_view text) override;
  void flush() override;
  bool is_terminal() const override;
};


}  // namespace vm
