#include "payload_columns.h"

#include <algorithm>
#include <stdexcept>

namespace orvex {
namespace {

// Columns kept for at most this many payload keys; each costs 16 bytes per
// entry.
constexpr size_t kMaxColumns = 8;

const Json* find_field(const Payload& payload, const std::string& key) {
  auto it = payload.data.find(key);
  return it == payload.data.end() ? nullptr : &it->second;
}

}  // namespace

std::shared_ptr<const std::vector<FieldValue>> PayloadColumns::column(
    const std::string& key, size_t n, const std::function<const Payload&(size_t slot)>& payload_of) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Column& c : columns_) {
    if (c.key == key) {
      c.last_use = ++clock_;
      return c.cells;
    }
  }
  auto cells = std::make_shared<std::vector<FieldValue>>();
  cells->reserve(n);
  for (size_t slot = 0; slot < n; ++slot) cells->push_back(FieldValue::of(find_field(payload_of(slot), key)));
  Column fresh{key, cells, ++clock_};
  if (columns_.size() < kMaxColumns) {
    columns_.push_back(std::move(fresh));
  } else {
    auto oldest = std::min_element(columns_.begin(), columns_.end(),
                                   [](const Column& a, const Column& b) { return a.last_use < b.last_use; });
    *oldest = std::move(fresh);
  }
  return cells;
}

template <class Grow>
void PayloadColumns::grow_each(Grow&& grow) {
  for (size_t i = 0; i < columns_.size();) {
    try {
      grow(columns_[i]);
      ++i;
    } catch (const std::bad_alloc&) {
      columns_.erase(columns_.begin() + static_cast<std::ptrdiff_t>(i));
    } catch (const std::length_error&) {
      columns_.erase(columns_.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
}

void PayloadColumns::append(const Payload& p) {
  grow_each([&](Column& c) { c.cells->push_back(FieldValue::of(find_field(p, c.key))); });
}

void PayloadColumns::append_empty(size_t count) {
  if (columns_.empty()) return;
  const FieldValue none = FieldValue::of(nullptr);
  grow_each([&](Column& c) { c.cells->insert(c.cells->end(), count, none); });
}

void PayloadColumns::remove(size_t slot) {
  for (Column& c : columns_) {
    std::vector<FieldValue>& cells = *c.cells;
    if (slot + 1 != cells.size()) cells[slot] = cells.back();
    cells.pop_back();
  }
}

}  // namespace orvex
