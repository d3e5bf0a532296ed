// SHA-256 (FIPS 180-4), so that a report names exactly which file it was
// made from.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace vm {

class Sha256 {
 public:
  // The processor's SHA instructions are used where it has them, unless
  // `portable` (the tests compare the two ways).
  explicit Sha256(bool portable = false);
  void add(std::string_view bytes);
  // The digest in 64 lower-case hexadecimal digits; the object is spent.
  std::string hex();

 private:
  void blocks(const unsigned char* p, size_t count);
  std::array<uint32_t, 8> h_;
  bool instructions_;
  std::array<unsigned char, 64> pending_{};
  size_t pending_size_ = 0;
  uint64_t length_ = 0;
};

// The digest of the open file `fd` read from its start with pread (its
// offset untouched); "" when it cannot be read or once `stop` is set.
std::string sha256_of_file(int fd, const std::atomic<bool>* stop = nullptr);

}  // namespace vm
