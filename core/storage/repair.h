// Verify and repair of a collection directory that no engine has open: the
// log, the data file read against its sums and the log (damage.h), and
// meta.json, which must read, name a known metric and agree with the
// dimension of the data file's live records. The reports' fields are listed
// with Collection::verify and Collection::repair (collection.h).
//
// Rules: the directory is locked for the whole call, so an open collection
// is refused; nothing is deleted (what repair sets aside is first copied to
// <file>.damaged-<offset>, a damaged meta.json whole to
// meta.json.damaged-0); the data file is repaired before the log, whose
// frames about to be set aside tell which of its records they wrote; each
// step is safe to interrupt, and running repair again finishes the work.
//
// Errors: Error::collection "no collection at DIR", "lock failed: ...",
// "collection is in use: ...", "read meta failed: ...", "meta.json (WHAT)
// needs the dimension to be rebuilt" (or "the metric"), "dimension mismatch:
// the records have A, the argument says B", "serialize meta failed: ...";
// Error::io "verify failed: out of
// memory", "repair failed: out of memory"; otherwise the storage's own.
//
// Thread-safety: plain functions over a directory they lock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "../distance.h"
#include "../error.h"
#include "../payload.h"
#include "file.h"

namespace orvex {

// Reads every byte of the log, the data file and its sums and meta.json in
// directory `dir` and changes nothing. The report holds one object per file
// ("wal.log", "data.ovx", "data.ovx.sum", "meta.json") and "ok".
Result<Json> verify_files(fs::FileSystem& fs, const std::string& dir);

// Point-in-time repair. A damaged meta.json is rebuilt with the dimension
// of the records or `dimension`, and the metric `metric` or the one the old
// file names. The report tells per file what was kept and what was set
// aside, and where, and "ok": whether verify finds the result whole.
Result<Json> repair_files(fs::FileSystem& fs, const std::string& dir, std::optional<uint64_t> dimension,
                          std::optional<DistanceMetric> metric);

}  // namespace orvex
