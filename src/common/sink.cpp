#include "common/sink.h"

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

bool FileSink::open_append(const std::string& path) {
  path_ = path;
  file_ = std::fopen(path.c_str(), "ab");
  if (!file_) return false;
  std::setvbuf(file_, nullptr, _IOFBF, 1 << 16);
  return true;
}

void FileSink::write(std::string_view text) {
  if (!file_ || failed_) return;
  if (std::fwrite(text.data(), 1, text.size(), file_) != text.size()) failed_ = true;
}

void FileSink::flush() {
  if (file_ && std::fflush(file_) != 0) failed_ = true;
}

bool FileSink::close() {
  if (!file_) return !failed_;
  if (std::fflush(file_) != 0) failed_ = true;
  if (std::ferror(file_)) failed_ = true;
  if (std::fclose(file_) != 0) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

void StdoutSink::write(std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
}

void StdoutSink::flush() { std::fflush(stdout); }

void LazyFileSink::write(std::string_view text) {
  if (!file_.is_open()) {
    if (failed_open_) return;
    if (!file_.open(path_)) {
      failed_open_ = true;
      return;
    }
  }
  file_.write(text);
}

}  // namespace vm
