#include "common/sink.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include "common/temp_files.h"

namespace vm {

FileSink::~FileSink() {
  if (file_) std::fclose(file_);
}

bool FileSink::open(const std::string& path) {
  path_ = path;
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) return false;
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
  return true;
}

bool FileSink::adopt(int fd, const std::string& path) {
  path_ = path;
  file_ = ::fdopen(fd, "wb");
  if (!file_) {
    ::close(fd);
    return false;
  }
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
  return true;
}

void FileSink::fail() {
  if (!failed_) error_ = errno;
  failed_ = true;
}

void FileSink::write(std::string_view text) {
  if (!file_ || failed_) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) fail();
}

void FileSink::flush() {
  if (file_ && std::fflush(file_) != 0) fail();
}

bool FileSink::close() {
  if (file_) {
    if (std::fflush(file_) != 0) fail();
    if (std::ferror(file_)) fail();
    if (std::fclose(file_) != 0) fail();
    file_ = nullptr;
  }
  errno = error_;
  return !failed_;
}

namespace {

mode_t new_file_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// The longest name the folder takes.
size_t longest_name(const std::string& folder) {
  const long max = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  return max > 0 ? static_cast<size_t>(max) : 255;
}

// The name under which the kernel opened `fd`: a final link is followed by
// the kernel, under its rules, never by hand. `fallback` when it cannot
// be learnt (no /proc).
std::string opened_name(int fd, const std::string& fallback) {
  char buffer[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer || buffer[0] != '/') return fallback;
  return std::string(buffer, static_cast<size_t>(n));
}

bool write_all(int fd, const char* data, size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

WholeFileSink::~WholeFileSink() { discard(); }

void WholeFileSink::fail() {
  if (!failed_) error_ = errno;
  failed_ = true;
}

void WholeFileSink::discard() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  discard_temporary();
  if (created_) ::unlink(target_.c_str());
  created_ = false;
  forget_temporary(created_slot_);
  created_slot_ = -1;
}

bool WholeFileSink::open(const std::string& path) {
  discard();
  path_ = target_ = path;
  way_ = Way::kReplaced;
  existed_ = prepared_ = failed_ = false;
  error_ = 0;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return open_existing(st);
  if (errno != ENOENT) return false;
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    // A link to a file still to be made: the kernel follows it and makes
    // the file, which is removed again unless the run puts its text there.
    const SignalsHeld held;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, new_file_mode());
    if (fd < 0) return false;
    target_ = opened_name(fd, path);
    created_ = true;
    created_slot_ = remember_temporary(target_.c_str());
    const bool examined = ::fstat(fd, &st) == 0;
    ::close(fd);
    return examined && make_temporary(&st);
  }
  return make_temporary(nullptr);
}

bool WholeFileSink::open_existing(const struct stat& st) {
  // Opened by the kernel, as any program would open it: a file this
  // process may not write is refused, and a final link is followed under
  // the kernel's rules.
  const int fd = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) opened = st;
  existed_ = true;
  dev_ = static_cast<unsigned long long>(opened.st_dev);
  ino_ = static_cast<unsigned long long>(opened.st_ino);
  if (!S_ISREG(opened.st_mode)) {
    way_ = Way::kDirect;
    file_ = ::fdopen(fd, "wb");
    if (!file_) {
      ::close(fd);
      return false;
    }
    return true;
  }
  target_ = opened_name(fd, path_);
  ::close(fd);
  if (make_temporary(&opened)) return true;
  if (errno != EACCES && errno != EPERM) return false;
  return keep_aside();
}

bool WholeFileSink::make_temporary(const struct stat* replaced) {
  const std::filesystem::path target(target_);
  const std::string folder = target.has_parent_path() ? target.parent_path().string() : std::string(".");
  std::string name(1, '.');  // built in two steps: GCC 12 warns (falsely) on "." + string here
  name += target.filename().string();
  const size_t longest = longest_name(folder);
  if (name.size() + 7 > longest && longest > 8) name.resize(longest - 7);
  std::string pattern = (target.has_parent_path() ? (target.parent_path() / name).string() : name) + ".XXXXXX";
  int fd = -1;
  {
    const SignalsHeld held;  // a signal between the two leaves no file unknown to its handler
    fd = ::mkstemp(pattern.data());
    if (fd >= 0) temp_slot_ = remember_temporary(pattern.c_str());
  }
  if (fd < 0) return false;
  temp_ = pattern;
  if (replaced != nullptr) {
    // The new file is the old one's: its owner, group and mode. A process
    // that cannot give it back to its owner writes the old file in place.
    const bool other_owner = replaced->st_uid != ::geteuid() || replaced->st_gid != ::getegid();
    if (other_owner && ::fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
      ::close(fd);
      discard_temporary();
      errno = EPERM;
      return false;
    }
    ::fchmod(fd, replaced->st_mode & 07777);
  } else {
    ::fchmod(fd, new_file_mode());
  }
  file_ = ::fdopen(fd, "wb");
  if (!file_) {
    const int e = errno;
    ::close(fd);
    discard();
    errno = e;
    return false;
  }
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
  return true;
}

void WholeFileSink::discard_temporary() {
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  forget_temporary(temp_slot_);
  temp_slot_ = -1;
}

bool WholeFileSink::keep_aside() {
  way_ = Way::kInPlace;
  file_ = std::tmpfile();
  if (!file_) return false;
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 20);
  return true;
}

void WholeFileSink::write(std::string_view text) {
  if (!file_ || failed_) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) fail();
}

bool WholeFileSink::prepare() {
  if (prepared_ || !file_) {
    errno = error_;
    return prepared_ && !failed_;
  }
  if (!failed_ && std::fflush(file_) != 0) fail();
  if (std::ferror(file_)) fail();
  if (way_ == Way::kReplaced && !failed_ && ::fsync(::fileno(file_)) != 0) fail();
  if (way_ != Way::kInPlace) {
    if (std::fclose(file_) != 0) fail();
    file_ = nullptr;
  }
  prepared_ = true;
  errno = error_;
  return !failed_;
}

bool WholeFileSink::copy_in_place() {
  const int fd = ::open(target_.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  std::rewind(file_);
  std::vector<char> buffer(1 << 20);
  bool done = true;
  for (size_t n; done && (n = std::fread(buffer.data(), 1, buffer.size(), file_)) > 0;) done = write_all(fd, buffer.data(), n);
  if (done && std::ferror(file_)) done = false;
  if (done && ::fsync(fd) != 0) done = false;
  const int e = errno;
  if (::close(fd) != 0 && done) return false;
  errno = e;
  return done;
}

bool WholeFileSink::publish() {
  if (!prepared_ || failed_) {
    errno = error_;
    return false;
  }
  if (way_ == Way::kReplaced) {
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
      fail();
    } else {
      temp_.clear();
      created_ = false;
    }
  } else if (way_ == Way::kInPlace && !copy_in_place()) {
    fail();
  }
  discard();
  errno = error_;
  return !failed_;
}

void StdoutSink::write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void StdoutSink::flush() { std::fflush(stdout); }

bool StdoutSink::is_terminal() const { return ::isatty(::fileno(stdout)) == 1; }

}  // namespace vm
