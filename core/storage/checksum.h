// Checksums of the data file, kept beside it in data.ovx.sum so that the data
// file's format stays as it is.
//
// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78, the iSCSI and ext4
// checksum): computed with the CPU's crc32 instruction where it has one
// (SSE 4.2), three streams at a time, and otherwise by tables; both give the
// same values.
//
// BlockSums: the CRC-32C of each 16 KiB block of a file, fed with the file's
// bytes in order, with the byte at chosen offsets counted as zero (a
// record's delete marker changes after the record is written; zero_byte
// takes it out of the sum at any time after it was fed).
//
// The sum file (all integers little-endian):
//   "ORVXSUM1" | u32 block size | u32 0 | u64 identity of the data file
//   (its inode number) | u64 covered length | u64 block count | u64 count of
//   deleted records | block count x u32 CRC-32C (the last block may be
//   partial: it ends at the covered length) | count x u64 offsets of the
//   records marked deleted when it was written, ascending | u32 CRC-32C of
//   everything before it.
// It describes the first `covered` bytes of the data file as they were after
// a sync. Records never move and only their markers change, so the sums stay
// true of that prefix until the file is replaced (a compaction's rename
// changes the identity: the sum file is then stale, not wrong).
//
// Pure functions and plain values; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "../error.h"

namespace orvex {

// CRC-32C of n bytes, continuing `crc` (0 to start): crc32c(crc32c(0, a), b)
// is the CRC of a followed by b.
uint32_t crc32c(uint32_t crc, const void* data, size_t n);
// The same value without the crc32 instruction.
uint32_t crc32c_portable(uint32_t crc, const void* data, size_t n);

class BlockSums {
 public:
  static constexpr uint64_t kBlock = 16384;

  // Feeds the next n bytes of the file.
  void add(const char* data, size_t n);
  // Counts the byte at `offset` (already fed), which holds `value`, as zero.
  void zero_byte(uint64_t offset, uint8_t value);
  // Bytes fed.
  uint64_t length() const { return blocks_.size() * kBlock + tail_len_; }
  // Sums of the first `length` bytes (a multiple of kBlock or length()), one
  // per block, the last one partial when `length` is not a multiple.
  std::vector<uint32_t> sums(uint64_t length) const;
  // Keeps the sum of the first `at` bytes (fed or not yet fed) apart, so that
  // sums(at) can be asked once more bytes are fed. One at a time.
  void keep_prefix(uint64_t at);
  // Goes back to the first `length` bytes; `tail` holds the bytes of the
  // last partial block up to `length`, their markers already zero.
  void cut(uint64_t length, std::string_view tail);

 private:
  std::vector<uint32_t> blocks_;  // whole blocks
  uint32_t tail_ = 0;             // CRC of the partial block so far
  uint64_t tail_len_ = 0;
  uint64_t prefix_at_ = UINT64_MAX;  // keep_prefix's length, within the partial block it names
  uint32_t prefix_ = 0;
  bool prefix_taken_ = false;
};

struct SumFile {
  uint64_t identity = 0;             // the data file's inode number
  uint64_t covered = 0;              // bytes of the data file described
  std::vector<uint32_t> blocks;      // CRC-32C per BlockSums::kBlock bytes
  std::vector<uint64_t> deleted;     // records marked deleted then, ascending

  bool operator==(const SumFile&) const = default;
};

std::string encode_sums(const SumFile& sums);
// Parses a sum file; the error's text() tells what is wrong ("bad magic",
// "checksum mismatch", "cut short", ...).
Result<SumFile> decode_sums(std::string_view text);

}  // namespace orvex
