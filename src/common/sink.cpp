#include "common/sink.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

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

WholeFileSink::~WholeFileSink() { discard(); }

void WholeFileSink::discard() {
  if (file_) std::fclose(file_);
  file_ = nullptr;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
}

bool WholeFileSink::open(const std::string& path) {
  discard();
  path_ = path;
  failed_ = false;
  error_ = 0;
  std::error_code ec;
  target_ = path;
  const std::filesystem::path through_links = std::filesystem::weakly_canonical(path, ec);
  if (!ec) target_ = through_links.string();
  struct stat st {};
  const bool exists = ::stat(target_.c_str(), &st) == 0;
  if (exists && !S_ISREG(st.st_mode)) {
    file_ = std::fopen(target_.c_str(), "wb");
    return file_ != nullptr;
  }
  const std::filesystem::path p(target_);
  std::string hidden = ".";
  hidden += p.filename().string();
  hidden += ".XXXXXX";
  std::string pattern = (p.parent_path() / hidden).string();
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) return false;
  temp_ = pattern;
  // The file that is replaced keeps its permissions; a new one gets those
  // of any new file.
  ::fchmod(fd, exists ? st.st_mode & 07777 : 0666 & ~[] { const mode_t m = ::umask(0); ::umask(m); return m; }());
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

void WholeFileSink::write(std::string_view text) {
  if (!file_ || failed_) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) {
    failed_ = true;
    error_ = errno;
  }
}

bool WholeFileSink::commit() {
  if (!file_) return false;
  if (!failed_ && std::fflush(file_) != 0) failed_ = true, error_ = errno;
  if (!failed_ && !temp_.empty() && ::fsync(::fileno(file_)) != 0) failed_ = true, error_ = errno;
  if (std::fclose(file_) != 0 && !failed_) failed_ = true, error_ = errno;
  file_ = nullptr;
  if (!failed_ && !temp_.empty()) {
    if (std::rename(temp_.c_str(), target_.c_str()) != 0) {
      failed_ = true;
      error_ = errno;
    } else {
      temp_.clear();
    }
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
