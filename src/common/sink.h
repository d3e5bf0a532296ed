// Where lines go: the screen, the log, the output file, channel 9, or a
// string in tests. Every stage writes whole lines through a Sink.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace velmora {
class Progress;
}

namespace vm {

class Sink {
 public:
  virtual ~Sink() = default;
  virtual void write(std::string_view text) = 0;
  virtual void flush() {}
  // A person watches it (standard output on a terminal).
  virtual bool is_terminal() const { return false; }
};

// Hears nothing: a computation nobody watches.
velmora::Progress& no_progress();

// The run's two running records: progress and errors on the screen, the
// detailed account in the log.
struct Report {
  Sink& screen;
  Sink& log;
  // How far the stages have come (common/progress.h).
  velmora::Progress& progress = no_progress();
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

 private:
  void fail();
  std::FILE* file_ = nullptr;
  std::string path_;
  bool failed_ = false;
  int error_ = 0;
};

// A file written whole or not at all: the text goes to a temporary file
// in the target's folder, which replaces the file by a rename only when
// prepare() found every write, the flush and the sync done and publish()
// is called. Without that (an error, a stop, a signal) the temporary file
// is removed and the file stays as it was. How the file is put in place:
// - replaced: the usual way; the new file gets the owner, group and mode
//   of the file it replaces. A name that leads through a symbolic link is
//   opened by the kernel (which applies its rules for links in shared
//   folders), and the file it leads to is replaced;
// - direct: a pipe or a device (/dev/full, a terminal) is written as the
//   text comes, never renamed over;
// - in place: an existing file whose folder takes no new file, or whose
//   owner this process cannot give to a new file, is kept aside in an
//   anonymous temporary file and copied over the file by publish().
// A temporary name is never longer than the folder allows: the target's
// name is cut in it, so that every legal name can be written.
class WholeFileSink : public Sink {
 public:
  enum class Way { kReplaced, kDirect, kInPlace };
  WholeFileSink() = default;
  ~WholeFileSink() override;
  WholeFileSink(const WholeFileSink&) = delete;
  WholeFileSink& operator=(const WholeFileSink&) = delete;

  // Prepares the file; false (errno set) when it cannot be written: a
  // folder that does not exist or takes no file, an existing file this
  // process may not write (a read-only file is refused, not replaced).
  bool open(const std::string& path);
  const std::string& path() const { return path_; }
  Way way() const { return way_; }
  // The existing file of that name when open() found one (device, inode).
  bool existed() const { return existed_; }
  unsigned long long existing_dev() const { return dev_; }
  unsigned long long existing_ino() const { return ino_; }
  // The descriptor written to (-1 when not open), to compare files.
  int descriptor() const { return file_ ? ::fileno(file_) : -1; }
  void write(std::string_view text) override;
  // Every byte flushed and synced (a direct file: written and closed);
  // false (errno set when known) when anything failed. Nothing is put in
  // place yet.
  bool prepare();
  // Puts the prepared file in place: the rename, or the copy over the
  // existing file; false (errno set) when that failed.
  bool publish();
  bool commit() { return prepare() && publish(); }

 private:
  bool open_existing(const struct stat& st);
  bool make_temporary(const struct stat* replaced);
  void discard_temporary();
  bool keep_aside();
  bool copy_in_place();
  void fail();
  void discard();
  std::FILE* file_ = nullptr;
  std::string path_, target_, temp_;
  Way way_ = Way::kReplaced;
  bool existed_ = false, created_ = false, prepared_ = false;
  int temp_slot_ = -1, created_slot_ = -1;  // remembered for a signal's clean-up
  unsigned long long dev_ = 0, ino_ = 0;
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
