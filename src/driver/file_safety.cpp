#include "driver/file_safety.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "common/stop.h"
#include "common/temp_files.h"

namespace vm {
namespace {

// The identity of a file for the same-file check: device and inode of an
// existing file (through links).
bool same_existing_file(const std::string& a, const std::string& b) {
  struct stat sa {}, sb {};
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The absolute path a name will be created at: the folders that exist
// resolved (links, "." and ".."), and a final link followed even when its
// target does not exist yet.
std::filesystem::path resolved(const std::string& name) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path p = fs::absolute(name, ec);
  if (ec) return name;
  for (int links = 0; links < 40; ++links) {
    fs::path q = fs::weakly_canonical(p, ec);
    if (ec) return p.lexically_normal();
    if (!fs::is_symlink(fs::symlink_status(q, ec))) return q;
    fs::path target = fs::read_symlink(q, ec);
    if (ec) return q;
    p = target.is_absolute() ? target : q.parent_path() / target;
  }
  return p.lexically_normal();
}

void add_held(const struct stat& st, std::string what, std::string name, std::vector<HeldFile>& held) {
  held.push_back({std::move(what), std::move(name), static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)});
}

bool is_result(const std::string& what) { return what == "log file" || what == "output file"; }

[[noreturn]] void refuse(const std::string& what, const std::string& name, const HeldFile& other) {
  if (is_result(what) && is_result(other.what)) {
    throw FileError{"the " + other.what + " \"" + other.name + "\" and the " + what + " \"" + name +
                    "\" are the same file"};
  }
  throw FileError{"the " + what + " \"" + name + "\" is the " + other.what + " \"" + other.name +
                  "\"; refusing to overwrite it"};
}

void refuse_if_among(const struct stat& st, const std::string& what, const std::string& name,
                     const std::vector<HeldFile>& held) {
  for (const HeldFile& other : held) {
    if (other.dev == static_cast<uint64_t>(st.st_dev) && other.ino == static_cast<uint64_t>(st.st_ino)) {
      refuse(what, name, other);
    }
  }
}

// The run's own standard output or error stream that `st` is, whatever
// its name; -1 when it is neither.
int standard_stream(const struct stat& st) {
  for (int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat s {};
    if (::fstat(fd, &s) == 0 && s.st_dev == st.st_dev && s.st_ino == st.st_ino) return fd;
  }
  return -1;
}

}  // namespace

bool same_file(const std::string& a, const std::string& b) {
  if (a == b) return true;
  return same_existing_file(a, b) || resolved(a) == resolved(b);
}

bool held_by_descriptor(int fd, std::string what, std::string name, std::vector<HeldFile>& held) {
  struct stat st {};
  if (fd < 0 || ::fstat(fd, &st) != 0) return false;
  add_held(st, std::move(what), std::move(name), held);
  return true;
}

bool held_by_name(std::string what, std::string name, std::vector<HeldFile>& held) {
  struct stat st {};
  if (name.empty() || ::stat(name.c_str(), &st) != 0) return false;
  add_held(st, std::move(what), std::move(name), held);
  return true;
}

int open_for_writing(const std::string& name, const std::string& what, std::vector<HeldFile>& held) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) throw FileError{"cannot create " + what + " \"" + name + "\": " + std::strerror(errno)};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    throw FileError{"cannot examine " + what + " \"" + name + "\": " + std::strerror(err)};
  }
  try {
    refuse_if_among(st, what, name, held);
  } catch (const FileError&) {
    ::close(fd);
    throw;
  }
  if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) {
    const int err = errno;
    ::close(fd);
    throw FileError{"cannot empty " + what + " \"" + name + "\": " + std::strerror(err)};
  }
  add_held(st, what, name, held);
  return fd;
}

void RunFiles::File::write(std::string_view text) {
  if (stream != nullptr) {
    stream->write(text);
  } else {
    whole.write(text);
  }
}

Sink& RunFiles::add(const std::string& name, const std::string& what) {
  auto file = std::make_unique<File>();
  file->name = name;
  file->what = what;
  struct stat st {};
  if (::stat(name.c_str(), &st) == 0) {
    refuse_if_among(st, what, name, held_);
    const int stream = standard_stream(st);
    if (stream >= 0) {
      file->stream = stream == STDOUT_FILENO ? &out_ : &err_;
      add_held(st, what, name, held_);
      files_.push_back(std::move(file));
      return *files_.back();
    }
  }
  if (!file->whole.open(name)) throw FileError{"cannot create the " + what + " \"" + name + "\": " + std::strerror(errno)};
  if (file->whole.existed()) {
    struct stat opened {};
    opened.st_dev = static_cast<dev_t>(file->whole.existing_dev());
    opened.st_ino = static_cast<ino_t>(file->whole.existing_ino());
    refuse_if_among(opened, what, name, held_);
    add_held(opened, what, name, held_);
  }
  // The file that will become it is one of the run's files too.
  held_by_descriptor(file->whole.descriptor(), what, name, held_);
  if (file->whole.way() == WholeFileSink::Way::kInPlace) {
    notes_.write("velmora: warning: the " + what + " \"" + name +
                 "\" cannot be replaced by a new file there (its folder takes no new file, or its owner cannot be "
                 "kept); it is written in place once every other file of the run is ready\n");
  }
  files_.push_back(std::move(file));
  return *files_.back();
}

void RunFiles::prepare(File& file) {
  if (file.stream != nullptr) {
    file.stream->flush();
    return;
  }
  if (!file.whole.prepare()) {
    const int err = errno;
    throw FileError{"cannot write the " + file.what + " \"" + file.name + "\"" +
                    (err != 0 ? std::string(": ") + std::strerror(err) : std::string(" (disk full?)"))};
  }
}

void RunFiles::publish(File& file) {
  if (file.stream != nullptr || file.whole.publish()) return;
  throw FileError{"cannot put the " + file.what + " \"" + file.name + "\" in place: " + std::strerror(errno)};
}

void RunFiles::commit() {
  for (const auto& file : files_) prepare(*file);
  // From here a signal waits until every file is in place; the files
  // written in place go first, as theirs is the step that can still fail.
  const SignalsHeld held;
  for (const auto& file : files_) {
    if (file->stream == nullptr && file->whole.way() == WholeFileSink::Way::kInPlace) publish(*file);
  }
  for (const auto& file : files_) {
    if (file->stream == nullptr && file->whole.way() != WholeFileSink::Way::kInPlace) publish(*file);
  }
}

void RunFiles::commit_one(Sink& sink) {
  for (const auto& file : files_) {
    if (file.get() != &sink) continue;
    prepare(*file);
    const SignalsHeld held;
    publish(*file);
  }
}

void create_if_missing(const std::string& name) {
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd >= 0) ::close(fd);
}

}  // namespace vm
