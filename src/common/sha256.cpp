#include "common/sha256.h"

#include <unistd.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <cerrno>
#include <cstring>
#include <vector>

namespace vm {
namespace {

constexpr std::array<uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5, 0xd807aa98, 0x12835b01,
    0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc,
    0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147,
    0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116, 0x1e376c08,
    0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3, 0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208,
    0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void portable_block(std::array<uint32_t, 8>& h_, const unsigned char* p) {
  uint32_t w[64];
  for (int t = 0; t < 16; ++t) {
    w[t] = uint32_t{p[4 * t]} << 24 | uint32_t{p[4 * t + 1]} << 16 | uint32_t{p[4 * t + 2]} << 8 | uint32_t{p[4 * t + 3]};
  }
  for (int t = 16; t < 64; ++t) {
    const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4], f = h_[5], g = h_[6], h = h_[7];
  for (int t = 0; t < 64; ++t) {
    const uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + kRound[t] + w[t];
    const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
  }
  h_[0] += a, h_[1] += b, h_[2] += c, h_[3] += d, h_[4] += e, h_[5] += f, h_[6] += g, h_[7] += h;
}

#if defined(__x86_64__)
// The SHA extensions do two rounds per instruction, about five times the
// portable rounds' speed: a report's digest of a national pedigree then
// costs a fraction of a second of the second core instead of over one.
// The state is kept as ABEF and CDGH, the order the instructions expect.
__attribute__((target("sha,sse4.1"))) void instruction_blocks(std::array<uint32_t, 8>& h, const unsigned char* p,
                                                               size_t count) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  const __m128i dcba = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[0])), 0xB1);
  const __m128i efgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(&h[4])), 0x1B);
  __m128i abef = _mm_alignr_epi8(dcba, efgh, 8);
  __m128i cdgh = _mm_blend_epi16(efgh, dcba, 0xF0);
  for (; count > 0; --count, p += 64) {
    const __m128i abef_before = abef, cdgh_before = cdgh;
    __m128i w[4];
    for (int g = 0; g < 16; ++g) {  // rounds 4g .. 4g + 3
      if (g < 4) w[g] = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * g)), byte_swap);
      __m128i k = _mm_add_epi32(w[g % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * g])));
      cdgh = _mm_sha256rnds2_epu32(cdgh, abef, k);
      if (g >= 3 && g <= 14) {  // the schedule's next four words
        __m128i& next = w[(g + 1) % 4];
        next = _mm_add_epi32(next, _mm_alignr_epi8(w[g % 4], w[(g + 3) % 4], 4));
        next = _mm_sha256msg2_epu32(next, w[g % 4]);
      }
      k = _mm_shuffle_epi32(k, 0x0E);
      abef = _mm_sha256rnds2_epu32(abef, cdgh, k);
      if (g >= 1 && g <= 12) w[(g + 3) % 4] = _mm_sha256msg1_epu32(w[(g + 3) % 4], w[g % 4]);
    }
    abef = _mm_add_epi32(abef, abef_before);
    cdgh = _mm_add_epi32(cdgh, cdgh_before);
  }
  const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
  const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[0]), _mm_blend_epi16(feba, dchg, 0xF0));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(&h[4]), _mm_alignr_epi8(dchg, feba, 8));
}

bool has_sha_instructions() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("sha") && __builtin_cpu_supports("sse4.1");
}
#else
void instruction_blocks(std::array<uint32_t, 8>&, const unsigned char*, size_t) {}
bool has_sha_instructions() { return false; }
#endif

}  // namespace

Sha256::Sha256(bool portable)
    : h_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a, 0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19},
      instructions_(!portable && has_sha_instructions()) {}

void Sha256::blocks(const unsigned char* p, size_t count) {
  if (instructions_) return instruction_blocks(h_, p, count);
  for (; count > 0; --count, p += 64) portable_block(h_, p);
}

void Sha256::add(std::string_view bytes) {
  length_ += bytes.size();
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  if (pending_size_ > 0) {
    const size_t take = std::min(n, pending_.size() - pending_size_);
    std::memcpy(pending_.data() + pending_size_, p, take);
    pending_size_ += take, p += take, n -= take;
    if (pending_size_ < pending_.size()) return;
    blocks(pending_.data(), 1);
    pending_size_ = 0;
  }
  blocks(p, n / 64);
  p += n / 64 * 64, n %= 64;
  std::memcpy(pending_.data(), p, n);
  pending_size_ = n;
}

std::string Sha256::hex() {
  const uint64_t bits = length_ * 8;
  const unsigned char one = 0x80;
  add(std::string_view(reinterpret_cast<const char*>(&one), 1));
  const unsigned char zero = 0;
  while (pending_size_ != 56) add(std::string_view(reinterpret_cast<const char*>(&zero), 1));
  unsigned char tail[8];
  for (int k = 0; k < 8; ++k) tail[k] = static_cast<unsigned char>(bits >> (56 - 8 * k));
  add(std::string_view(reinterpret_cast<const char*>(tail), 8));
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (uint32_t word : h_)
    for (int shift = 28; shift >= 0; shift -= 4) out += kDigits[(word >> shift) & 0xf];
  return out;
}

std::string sha256_of_file(int fd, const std::atomic<bool>* stop) {
  Sha256 digest;
  std::vector<char> buffer(size_t{1} << 20);
  off_t at = 0;
  for (;;) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) return {};
    const ssize_t n = ::pread(fd, buffer.data(), buffer.size(), at);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return {};
    if (n == 0) return digest.hex();
    digest.add(std::string_view(buffer.data(), static_cast<size_t>(n)));
    at += n;
  }
}

}  // namespace vm
