// Write-ahead log (wal.log): frames of CRC-32, length and entry text.
#pragma once

#include <cstdint>

namespace orvex {

// When appended entries are forced to stable storage.
enum class SyncMode : uint8_t { Always = 0, Batch = 1, Manual = 2 };

}  // namespace orvex
