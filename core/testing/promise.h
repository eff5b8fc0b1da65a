// The crash-safety promise, written once, checked by every crash test:
//
//   After a crash at any instant (or an I/O error), the collection opens; its
//   content is what applying some prefix of the attempted insertions gives
//   (as a map id -> vector, a re-insert replacing the earlier vector): no
//   holes, no partial vectors, no id never inserted, no duplicates. The
//   prefix covers every synced step. Inside the prefix every acknowledged
//   insertion counts; one that failed or was cut off by the crash may count
//   or not (its log frame may or may not have reached the file).
//
// Functions return an empty string when the promise holds, else a
// description of every breach found (so they can run in a forked child).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "../collection.h"
#include "workload.h"

namespace orvex::testing {

// Checks an open collection against the steps and the journal.
std::string check_content(const Collection& coll, const std::vector<WorkStep>& steps, const Journal& journal);

// Opens `path` with the real file system and checks it.
std::string open_and_check(const std::string& path, const CollectionConfig& config,
                           const std::vector<WorkStep>& steps, const Journal& journal);

// Whether the files in `dir` end with an unfinished write: bytes after the
// log's last whole frame, or after the data file's last whole record.
struct Tails {
  bool wal_torn = false;
  bool data_torn = false;
};
Tails inspect_tails(const std::string& dir);

}  // namespace orvex::testing
