#include "checksum.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <nmmintrin.h>
#define ORVEX_CRC_X86 1
#endif

namespace orvex {
namespace {

static_assert(std::endian::native == std::endian::little,
              "sums are little-endian; this build assumes a little-endian host");

constexpr uint32_t kPoly = 0x82F63B78u;  // reflected Castagnoli polynomial

// Slice-by-8 tables: table[0] steps one byte, table[k] steps a byte k bytes
// further from the end.
struct Tables {
  uint32_t t[8][256];
  constexpr Tables() : t{} {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t c = i;
      for (int k = 0; k < 8; ++k) c = c & 1 ? (c >> 1) ^ kPoly : c >> 1;
      t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
      for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    }
  }
};
constexpr Tables kTables;

// The register (no conditioning) after n more bytes.
uint32_t step_portable(uint32_t c, const unsigned char* p, size_t n) {
  const auto& t = kTables.t;
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    w ^= c;
    c = t[7][w & 0xFF] ^ t[6][(w >> 8) & 0xFF] ^ t[5][(w >> 16) & 0xFF] ^ t[4][(w >> 24) & 0xFF] ^
        t[3][(w >> 32) & 0xFF] ^ t[2][(w >> 40) & 0xFF] ^ t[1][(w >> 48) & 0xFF] ^ t[0][w >> 56];
  }
  for (; n > 0; --n, ++p) c = (c >> 8) ^ t[0][(c ^ *p) & 0xFF];
  return c;
}

// a * b modulo the polynomial, reflected (bit 31 is x^0).
uint32_t mult_mod(uint32_t a, uint32_t b) {
  uint32_t m = 1u << 31, p = 0;
  for (;;) {
    if (a & m) {
      p ^= b;
      if ((a & (m - 1)) == 0) break;
    }
    m >>= 1;
    b = b & 1 ? (b >> 1) ^ kPoly : b >> 1;
  }
  return p;
}

// x^(8 n) modulo the polynomial: what multiplies a register to step it over
// n zero bytes.
uint32_t zeros_operator(uint64_t n) {
  static const std::array<uint32_t, 64> x2n = [] {
    std::array<uint32_t, 64> t{};
    uint32_t p = 1u << 30;  // x^1
    for (auto& v : t) v = p, p = mult_mod(p, p);
    return t;
  }();
  uint32_t p = 1u << 31;  // x^0
  for (unsigned k = 3; n != 0; n >>= 1, ++k) {
    if (n & 1) p = mult_mod(x2n[k & 63], p);
  }
  return p;
}

#ifdef ORVEX_CRC_X86
constexpr size_t kLong = 4096, kShort = 256;  // stripe lengths of the three-stream loops

__attribute__((target("sse4.2"))) uint32_t step_one(uint32_t c, const unsigned char* p, size_t n) {
  uint64_t c64 = c;
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    c64 = _mm_crc32_u64(c64, w);
  }
  c = static_cast<uint32_t>(c64);
  for (; n > 0; --n, ++p) c = _mm_crc32_u8(c, *p);
  return c;
}

// Three stripes of `stripe` bytes at once (the instruction's latency is three
// times its issue rate), joined by stepping the first two over the others.
__attribute__((target("sse4.2"))) uint32_t step_three(uint32_t c, const unsigned char*& p, size_t& n,
                                                      size_t stripe, uint32_t one, uint32_t two) {
  while (n >= 3 * stripe) {
    uint64_t a = c, b = 0, d = 0;
    for (size_t i = 0; i < stripe; i += 8) {
      uint64_t wa, wb, wd;
      std::memcpy(&wa, p + i, 8);
      std::memcpy(&wb, p + stripe + i, 8);
      std::memcpy(&wd, p + 2 * stripe + i, 8);
      a = _mm_crc32_u64(a, wa);
      b = _mm_crc32_u64(b, wb);
      d = _mm_crc32_u64(d, wd);
    }
    c = mult_mod(two, static_cast<uint32_t>(a)) ^ mult_mod(one, static_cast<uint32_t>(b)) ^ static_cast<uint32_t>(d);
    p += 3 * stripe;
    n -= 3 * stripe;
  }
  return c;
}

uint32_t step_hardware(uint32_t c, const unsigned char* p, size_t n) {
  static const uint32_t long1 = zeros_operator(kLong), long2 = zeros_operator(2 * kLong);
  static const uint32_t short1 = zeros_operator(kShort), short2 = zeros_operator(2 * kShort);
  c = step_three(c, p, n, kLong, long1, long2);
  c = step_three(c, p, n, kShort, short1, short2);
  return step_one(c, p, n);
}

const bool kHardware = __builtin_cpu_supports("sse4.2");
#endif

uint32_t step(uint32_t c, const unsigned char* p, size_t n) {
#ifdef ORVEX_CRC_X86
  if (kHardware) return step_hardware(c, p, n);
#endif
  return step_portable(c, p, n);
}

// What counting byte `value` as zero changes in the CRC of a run that goes
// on for `after` bytes behind it.
uint32_t byte_effect(uint8_t value, uint64_t after) {
  return mult_mod(zeros_operator(after), kTables.t[0][value]);
}

template <class T>
void put(std::string& out, T v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

constexpr std::string_view kMagic("ORVXSUM1", 8);
constexpr size_t kHeader = 48;

}  // namespace

uint32_t crc32c(uint32_t crc, const void* data, size_t n) {
  return ~step(~crc, static_cast<const unsigned char*>(data), n);
}

uint32_t crc32c_portable(uint32_t crc, const void* data, size_t n) {
  return ~step_portable(~crc, static_cast<const unsigned char*>(data), n);
}

void BlockSums::add(const char* data, size_t n) {
  while (n > 0) {
    uint64_t room = kBlock - tail_len_;
    const uint64_t start = blocks_.size() * kBlock;
    // Stop at the kept prefix's end once, to take its sum.
    const bool at_prefix = !prefix_taken_ && prefix_at_ > start + tail_len_ && prefix_at_ - start < kBlock;
    if (at_prefix) room = prefix_at_ - start - tail_len_;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(room, n));
    tail_ = crc32c(tail_, data, take);
    tail_len_ += take;
    data += take;
    n -= take;
    if (at_prefix && start + tail_len_ == prefix_at_) prefix_ = tail_, prefix_taken_ = true;
    if (tail_len_ == kBlock) blocks_.push_back(tail_), tail_ = 0, tail_len_ = 0;
  }
}

void BlockSums::zero_byte(uint64_t offset, uint8_t value) {
  if (value == 0 || offset >= length()) return;
  const uint64_t block = offset / kBlock, start = block * kBlock;
  if (block < blocks_.size()) {
    blocks_[block] ^= byte_effect(value, start + kBlock - offset - 1);
  } else {
    tail_ ^= byte_effect(value, length() - offset - 1);
  }
  if (prefix_taken_ && prefix_at_ / kBlock == block && offset < prefix_at_) {
    prefix_ ^= byte_effect(value, prefix_at_ - offset - 1);
  }
}

void BlockSums::keep_prefix(uint64_t at) {
  prefix_at_ = at;
  prefix_taken_ = at % kBlock == 0;
  prefix_ = 0;
  if (!prefix_taken_ && at == length()) prefix_ = tail_, prefix_taken_ = true;
}

std::vector<uint32_t> BlockSums::sums(uint64_t length) const {
  const size_t whole = static_cast<size_t>(length / kBlock);
  std::vector<uint32_t> out(blocks_.begin(), blocks_.begin() + std::min(whole, blocks_.size()));
  if (length % kBlock != 0) out.push_back(length == this->length() ? tail_ : prefix_);
  return out;
}

void BlockSums::cut(uint64_t length, std::string_view tail) {
  blocks_.resize(static_cast<size_t>(length / kBlock));
  tail_len_ = length % kBlock;
  tail_ = crc32c(0, tail.data(), tail.size());
  if (prefix_at_ > length) prefix_at_ = UINT64_MAX, prefix_taken_ = false;
}

std::string encode_sums(const SumFile& sums) {
  std::string out(kMagic);
  put<uint32_t>(out, BlockSums::kBlock);
  put<uint32_t>(out, 0);
  put<uint64_t>(out, sums.identity);
  put<uint64_t>(out, sums.covered);
  put<uint64_t>(out, sums.blocks.size());
  put<uint64_t>(out, sums.deleted.size());
  for (uint32_t s : sums.blocks) put(out, s);
  for (uint64_t d : sums.deleted) put(out, d);
  put<uint32_t>(out, crc32c(0, out.data(), out.size()));
  return out;
}

Result<SumFile> decode_sums(std::string_view text) {
  auto u64 = [&](size_t at) {
    uint64_t v;
    std::memcpy(&v, text.data() + at, 8);
    return v;
  };
  if (text.size() < kHeader + 4) return Error::io("cut short at " + std::to_string(text.size()) + " bytes");
  if (text.substr(0, 8) != kMagic) return Error::io("bad magic");
  uint32_t stored, block;
  std::memcpy(&stored, text.data() + text.size() - 4, 4);
  if (crc32c(0, text.data(), text.size() - 4) != stored) return Error::io("checksum mismatch");
  std::memcpy(&block, text.data() + 8, 4);
  if (block != BlockSums::kBlock) return Error::io("block size " + std::to_string(block) + " is not 16384");
  SumFile s;
  s.identity = u64(16);
  s.covered = u64(24);
  const uint64_t blocks = u64(32), deleted = u64(40);
  if (blocks != (s.covered + BlockSums::kBlock - 1) / BlockSums::kBlock || deleted > text.size() / 8 ||
      kHeader + 4 * blocks + 8 * deleted + 4 != text.size()) {
    return Error::io("counts disagree with the length");
  }
  s.blocks.resize(blocks);
  if (blocks) std::memcpy(s.blocks.data(), text.data() + kHeader, 4 * blocks);
  s.deleted.resize(deleted);
  if (deleted) std::memcpy(s.deleted.data(), text.data() + kHeader + 4 * blocks, 8 * deleted);
  return s;
}

}  // namespace orvex
