// PayloadColumns: for each payload key a filter asks about, that key's value
// in every slot of the index (a FieldValue, 16 bytes a slot), for at most 8
// keys, the least recently used dropped first. A column is built by the
// first search that asks for it, then kept in step by the index's
// insertions and removals; a column that cannot grow is dropped and built
// again when next asked for.
//
// Errors: column() throws std::bad_alloc; nothing else fails.
//
// Thread-safety: column() may run from many searches at once (the cache sits
// under an internal mutex); a search holds its columns through shared_ptr,
// so an eviction while it runs frees nothing it reads. append, append_empty
// and remove run alone (the index's changes) and take no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../filter.h"
#include "../payload.h"

namespace orvex {

class PayloadColumns {
 public:
  // The column of `key` over slots 0 .. n - 1, built from payload_of(slot)
  // on first use.
  std::shared_ptr<const std::vector<FieldValue>> column(
      const std::string& key, size_t n, const std::function<const Payload&(size_t slot)>& payload_of) const;

  // After a slot with payload `p` was appended: extends every column.
  void append(const Payload& p);
  // After `count` slots without payload were appended.
  void append_empty(size_t count);
  // After the last slot moved into `slot` (or `slot` was the last): the
  // same for every column.
  void remove(size_t slot);

 private:
  struct Column {
    std::string key;
    std::shared_ptr<std::vector<FieldValue>> cells;
    uint64_t last_use;
  };
  // Runs grow(column) on every column, dropping each that runs out of
  // memory.
  template <class Grow>
  void grow_each(Grow&& grow);

  mutable std::mutex mutex_;
  mutable std::vector<Column> columns_;
  mutable uint64_t clock_ = 0;
};

}  // namespace orvex
