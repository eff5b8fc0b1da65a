// Creates a collection, stores vectors with payloads, runs filtered searches,
// and shares the collection between a searching and an inserting thread.
//
//   orvex_example [directory]
#include <orvex/collection.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

using orvex::Collection;
using orvex::CollectionConfig;
using orvex::DistanceMetric;
using orvex::Filter;
using orvex::FilterCondition;
using orvex::Payload;

namespace {

int fail(const std::string& what) {
  std::fprintf(stderr, "error: %s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1]
                                   : (std::filesystem::temp_directory_path() / "orvex_example").string();
  std::filesystem::remove_all(dir);

  CollectionConfig config;
  config.dimension = 8;
  config.metric = DistanceMetric::Euclidean;
  auto opened = Collection::open_or_create(dir, config);
  if (!opened.ok()) return fail(opened.error().to_string());
  std::unique_ptr<Collection> collection = std::move(opened).value();

  const char* colors[] = {"red", "green", "blue"};
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> uni(-1.0f, 1.0f);
  for (uint64_t id = 1; id <= 300; ++id) {
    std::vector<float> v(config.dimension);
    for (float& x : v) x = uni(rng);
    Payload payload;
    payload.data["color"] = colors[id % 3];
    payload.data["rank"] = id;
    if (auto s = collection->insert(id, v, std::move(payload)); !s.ok()) return fail(s.error().to_string());
  }
  if (auto s = collection->flush(); !s.ok()) return fail(s.error().to_string());

  std::vector<float> query(config.dimension, 0.25f);
  // Red vectors of rank 100 or more, nearest first.
  Filter red_high(FilterCondition::eq("color", "red") && FilterCondition::gte("rank", 100));
  auto hits = collection->search(query, 5, &red_high);
  std::printf("5 nearest red vectors with rank >= 100:\n");
  for (const auto& hit : hits) {
    const auto& p = hit.payload->data;
    std::printf("  id %3llu  distance %.6f  color %s  rank %llu\n",
                static_cast<unsigned long long>(hit.id), hit.distance,
                p.at("color").get<std::string>().c_str(),
                static_cast<unsigned long long>(p.at("rank").get<uint64_t>()));
    if (p.at("color") != "red" || p.at("rank").get<uint64_t>() < 100) return fail("filter not honoured");
  }
  if (hits.size() != 5) return fail("expected 5 hits");

  // One thread inserts while another searches the same collection.
  std::atomic<bool> done{false};
  std::atomic<size_t> searches{0};
  std::thread searcher([&] {
    const Filter not_blue = Filter::ne("color", "blue");
    while (!done.load()) {
      auto r = collection->search(query, 3, &not_blue);
      for (const auto& hit : r) {
        if (hit.payload->data.at("color") == "blue") std::abort();
      }
      searches.fetch_add(1);
    }
  });
  std::thread inserter([&] {
    std::mt19937 local(11);
    for (uint64_t id = 1000; id < 1500; ++id) {
      std::vector<float> v(config.dimension);
      for (float& x : v) x = uni(local);
      Payload payload;
      payload.data["color"] = colors[id % 3];
      (void)collection->insert(id, v, std::move(payload));
    }
    done.store(true);
  });
  inserter.join();
  searcher.join();
  std::printf("concurrent phase: %zu searches beside 500 insertions; %zu vectors stored\n",
              searches.load(), collection->len());
  if (collection->len() != 800) return fail("expected 800 vectors");

  // Delete every blue vector (each deletion is logged), read one back, then
  // compact: the data file keeps only the live records.
  size_t deleted = 0;
  for (uint64_t id = 1000; id < 1500; ++id) {
    if (id % 3 != 2) continue;  // colors[2] is blue
    auto held = collection->remove(id);
    if (!held.ok()) return fail(held.error().to_string());
    deleted += held.value() ? 1 : 0;
  }
  std::vector<float> stored;
  Payload stored_payload;
  auto got = collection->get(1000, &stored, &stored_payload);
  if (!got.ok() || !got.value() || stored.size() != config.dimension) return fail("get(1000) failed");
  auto reclaimed = collection->compact();
  if (!reclaimed.ok()) return fail(reclaimed.error().to_string());
  const Collection::Stats stats = collection->stats();
  std::printf("deleted %zu blue vectors; compaction reclaimed %llu bytes; %llu vectors, %llu dead records\n",
              deleted, static_cast<unsigned long long>(reclaimed.value()),
              static_cast<unsigned long long>(stats.vectors), static_cast<unsigned long long>(stats.dead_records));
  if (stats.dead_records != 0 || collection->len() != 800 - deleted) return fail("compaction kept dead records");

  collection.reset();
  auto reopened = Collection::open_or_create(dir, config);
  if (!reopened.ok()) return fail(reopened.error().to_string());
  std::printf("reopened: %zu vectors\n", reopened.value()->len());
  if (reopened.value()->len() != 800 - deleted) return fail("reopen lost vectors");
  std::filesystem::remove_all(dir);
  std::printf("ok\n");
  return 0;
}
