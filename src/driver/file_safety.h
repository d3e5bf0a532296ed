// Never write over an input, never lose a written file to another: the
// checks on the files a run writes, shared by both interfaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/sink.h"

namespace vm {

// Two names are one file when they name the same existing file, or when
// they resolve to the same place (files still to be created). Names only
// serve the error message early; the open files decide (below).
bool same_file(const std::string& a, const std::string& b);

// A file the run holds open or has read, by device and inode.
struct HeldFile {
  std::string what;  // "pedigree file"
  std::string name;
  uint64_t dev = 0, ino = 0;
};

// The file open as `fd`, or of that name (a file already read); false when
// there is none.
bool held_by_descriptor(int fd, std::string what, std::string name, std::vector<HeldFile>& held);
bool held_by_name(std::string what, std::string name, std::vector<HeldFile>& held);

// Opens `name` for writing as the run's `what` ("log file"), creating it
// but not emptying it; a file that is one of `held` (through a link, a
// /proc/self/fd name, a hard link) is refused with a FileError naming both,
// untouched. Only then is it emptied. It joins `held`; returns the
// descriptor. FileError when it cannot be created.
int open_for_writing(const std::string& name, const std::string& what, std::vector<HeldFile>& held);

// FileError when an existing file of that name is one of `held` (a file
// that is replaced at the end of the run, never opened before).
void refuse_if_held(const std::string& name, const std::string& what, const std::vector<HeldFile>& held);

// The result table: the output file is created or emptied when the run
// opens it, and the table is written to a temporary file beside it that
// replaces it, flushed and synced, only by commit(); a reader sees an
// empty file or a whole table, and of two runs on one name each leaves a
// whole table. A name that is no regular file (a pipe, a device, the
// run's own standard output) is written directly.
class ResultTable : public Sink {
 public:
  ResultTable(const std::string& name, std::vector<HeldFile>& held);
  void write(std::string_view text) override;
  // FileError when any write, the sync or the rename failed.
  void commit();

 private:
  std::string name_;
  bool direct_ = false;
  FileSink direct_file_;
  WholeFileSink whole_file_;
};

}  // namespace vm
