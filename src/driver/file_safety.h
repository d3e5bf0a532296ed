// Never write over an input, never lose a written file to another: the
// checks on the files a run writes, shared by both interfaces.
#pragma once

#include <cstdint>
#include <memory>
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

// The files a run writes (the log, the output, the result files), put in
// place together: each is prepared beside its target (see WholeFileSink),
// and commit() renames them only once every byte of every file is written
// and synced, so a run that ends before that point changes none of them.
// A name that is the run's own standard output or error stream (by
// device and inode: /dev/stdout, /dev/fd/1, /proc/self/fd/1, or the file
// the stream was redirected to) is written through that stream, in order
// with the screen lines, since a second descriptor on it would overwrite
// them and a rename would cut the stream off from its file.
class RunFiles {
 public:
  // `out`, `err`: the run's standard output and error as the program writes
  // them; `notes`: where the warnings about a file go.
  RunFiles(Sink& out, Sink& err, Sink& notes, std::vector<HeldFile>& held) : out_(out), err_(err), notes_(notes), held_(held) {}
  // Prepares `name` as the run's `what` ("log file"); FileError when it
  // cannot be written or is one of the files held. The sink lives as long
  // as this object.
  Sink& add(const std::string& name, const std::string& what);
  // All or nothing: FileError naming the first file that failed, and then
  // no file is put in place.
  void commit();
  // Only `file` (the log of a run that stopped): FileError when it failed.
  void commit_one(Sink& file);

 private:
  struct File : Sink {
    std::string name, what;
    Sink* stream = nullptr;  // the standard stream the file is
    WholeFileSink whole;
    void write(std::string_view text) override;
  };
  static void prepare(File& file);
  static void publish(File& file);
  Sink& out_;
  Sink& err_;
  Sink& notes_;
  std::vector<HeldFile>& held_;
  std::vector<std::unique_ptr<File>> files_;
};

// Where no file of that name exists, creates it empty: a classic run's
// log and output exist from the moment the run opens them.
void create_if_missing(const std::string& name);

}  // namespace vm
