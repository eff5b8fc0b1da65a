// The names of a collection directory's files (engine.h tells what each
// holds).
#pragma once

namespace orvex::files {

inline constexpr const char* kMeta = "meta.json";
inline constexpr const char* kMetaTemp = "meta.json.tmp";
inline constexpr const char* kWal = "wal.log";
inline constexpr const char* kData = "data.ovx";
inline constexpr const char* kCompactTemp = "data.ovx.compact";
inline constexpr const char* kSums = "data.ovx.sum";
inline constexpr const char* kSumsTemp = "data.ovx.sum.tmp";
// What repair moves aside gets this after the file's name, then the offset
// it came from.
inline constexpr const char* kDamagedSuffix = ".damaged-";

// The refusal of a directory another Collection holds.
inline constexpr const char* kInUse =
    "collection is in use: another Collection has this directory open, in this process or another";

}  // namespace orvex::files
