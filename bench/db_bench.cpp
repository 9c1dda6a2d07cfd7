// Star database speed: loading a 1 GB file with and without verification,
// cone queries on a band of 2 million stars, and the pattern lookup of one
// image quad.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <numbers>
#include <optional>
#include <random>
#include <unistd.h>

#include "cli/image_access.hpp"
#include "core/db.hpp"
#include "core/pattern.hpp"
#include "tools/db_writer.hpp"

using namespace kestrune;

namespace {

constexpr double kPi = std::numbers::pi;

// ---- a 1 GB file, written section by section ----

// Streams bytes to a file while hashing them, so a file larger than memory
// comfortably allows can carry a valid checksum.
struct HashingWriter {
  std::FILE* f;
  uint64_t hash = 0xcbf29ce484222325;
  uint64_t at = 0;
  void put(const void* data, size_t n) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < n; ++i) {
      hash ^= p[i];
      hash *= 0x100000001b3;
    }
    std::fwrite(data, 1, n, f);
    at += n;
  }
  template <class T>
  void put_all(const std::vector<T>& v) { put(v.data(), v.size() * sizeof(T)); }
};

// Stars, one band at depth 10 listing all of them (spread evenly over the
// cells: loading does not look at geometry), patterns and a slot table.
std::string write_big_file() {
  const std::string path = "/tmp/kestrune_bench_" + std::to_string(getpid()) + ".krdb";
  const uint64_t stars = 40'000'000, patterns = 8'000'000, slots = uint64_t{1} << 24;
  const uint32_t depth = 10;
  const uint64_t cells = uint64_t{12} << (2 * depth);

  DbHeader h{};
  h.magic = kDbMagic;
  h.version = kDbVersion;
  h.band_count = 1;
  h.star_count = static_cast<uint32_t>(stars);
  h.pattern_count = static_cast<uint32_t>(patterns);
  h.slot_count = static_cast<uint32_t>(slots);
  h.stars = {448, stars * 16};
  h.star_lists = {h.stars.offset + h.stars.length, stars * 4};
  h.cell_offsets = {h.star_lists.offset + h.star_lists.length, (cells + 1) * 4};
  h.patterns = {h.cell_offsets.offset + h.cell_offsets.length, patterns * 24};
  h.slots = {h.patterns.offset + h.patterns.length, slots * 8};
  h.bands[0] = {60, 0.5, depth, static_cast<uint32_t>(stars), 0, 0};

  HashingWriter w{std::fopen(path.c_str(), "wb")};
  std::fwrite(&h, sizeof h, 1, w.f);  // rewritten with the checksum at the end
  const uint64_t chunk = 1 << 20;
  std::mt19937 rng(1);
  std::vector<StarRecord> sbuf(chunk);
  for (uint64_t i = 0; i < stars; i += chunk) {
    sbuf.resize(std::min(chunk, stars - i));
    for (size_t k = 0; k < sbuf.size(); ++k)
      sbuf[k] = tools::star_record(rng() * 1e-9, (rng() * 1e-9) - 2, static_cast<int16_t>(k));
    w.put_all(sbuf);
  }
  std::vector<uint32_t> ubuf(chunk);
  for (uint64_t i = 0; i < stars; i += chunk) {
    ubuf.resize(std::min(chunk, stars - i));
    for (size_t k = 0; k < ubuf.size(); ++k) ubuf[k] = static_cast<uint32_t>(i + k);
    w.put_all(ubuf);
  }
  for (uint64_t i = 0; i <= cells; i += chunk) {
    ubuf.resize(std::min(chunk, cells + 1 - i));
    for (size_t k = 0; k < ubuf.size(); ++k) ubuf[k] = static_cast<uint32_t>((i + k) * stars / cells);
    w.put_all(ubuf);
  }
  std::vector<PatternRecord> pbuf(chunk);
  for (uint64_t i = 0; i < patterns; i += chunk) {
    pbuf.resize(std::min(chunk, patterns - i));
    for (size_t k = 0; k < pbuf.size(); ++k) {
      const auto id = static_cast<uint32_t>((i + k) * 5 % (stars - 3));
      pbuf[k] = {{id, id + 1, id + 2, id + 3}, {10, 20, 30, 40, 50}, 0, 1000};
    }
    w.put_all(pbuf);
  }
  std::vector<SlotRecord> slbuf(chunk);
  for (uint64_t i = 0; i < slots; i += chunk) {
    for (size_t k = 0; k < chunk; ++k)
      slbuf[k] = (i + k) % 2 ? SlotRecord{static_cast<uint32_t>((i + k) % patterns), 7, 0}
                             : SlotRecord{kEmptySlot, 0, 0};
    w.put_all(slbuf);
  }
  h.checksum = w.hash;
  std::fseek(w.f, 0, SEEK_SET);
  std::fwrite(&h, sizeof h, 1, w.f);
  std::fclose(w.f);
  return path;
}

std::optional<cli::MappedFile> g_big;

void BM_LoadNoFlags(benchmark::State& state) {
  const auto bytes = g_big->bytes();
  for (auto _ : state) {
    auto db = Database::load(bytes, false, false);
    benchmark::DoNotOptimize(db);
  }
  state.counters["file_GB"] = bytes.size() / 1e9;
}

void BM_LoadVerified(benchmark::State& state) {
  const auto bytes = g_big->bytes();
  for (auto _ : state) {
    auto db = Database::load(bytes, true, true);
    if (!db) state.SkipWithError(db.error().message().c_str());
    benchmark::DoNotOptimize(db);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes.size()));
}

// ---- cone queries on 2 million stars ----

struct ConeDb {
  tools::EncodedDb encoded;
  Database db;
};

std::unique_ptr<ConeDb> make_cone_db() {
  tools::DbSpec desc;
  const size_t n = 2'000'000;
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> uni(0, 1);
  desc.stars.reserve(n);
  for (size_t i = 0; i < n; ++i)
    desc.stars.push_back(tools::star_record(uni(rng) * 2 * kPi, std::asin(2 * uni(rng) - 1),
                                            static_cast<int16_t>(i % 30000)));
  std::vector<uint32_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = static_cast<uint32_t>(i);
  for (uint32_t depth : {6u, 7u, 8u}) desc.bands.push_back({10, 0.1, depth, ids});
  auto encoded = tools::encode_database(desc);
  auto out = std::make_unique<ConeDb>();
  out->encoded = std::move(*encoded);
  out->db = *Database::load(out->encoded.bytes, false, false);
  return out;
}

std::unique_ptr<ConeDb> g_cone;

// Args: band (depth 6, 7, 8), radius in hundredths of a degree.
void BM_StarsInCone(benchmark::State& state) {
  const size_t band = static_cast<size_t>(state.range(0));
  const double radius = state.range(1) / 100.0 / kRadToDeg;
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> uni(0, 1);
  std::vector<std::array<double, 3>> centres(256);
  for (auto& c : centres) {
    const double ra = uni(rng) * 2 * kPi, dec = std::asin(2 * uni(rng) - 1);
    c = {std::cos(dec) * std::cos(ra), std::cos(dec) * std::sin(ra), std::sin(dec)};
  }
  std::vector<uint32_t> out;
  out.reserve(1 << 20);
  size_t i = 0, returned = 0;
  for (auto _ : state) {
    out.clear();
    g_cone->db.stars_in_cone(band, centres[i++ % centres.size()], radius, out);
    returned += out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["depth"] = static_cast<double>(g_cone->db.bands()[band].depth);
  state.counters["stars"] = static_cast<double>(returned) / state.iterations();
  state.counters["ns_per_star"] = benchmark::Counter(
      static_cast<double>(returned), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// ---- pattern lookup ----

struct LookupDb {
  tools::EncodedDb encoded;
  Database db;
};

std::unique_ptr<LookupDb> g_lookup;

std::unique_ptr<LookupDb> make_lookup_db() {
  tools::DbSpec desc;
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> uni(0, 1);
  const size_t n = 400'000;
  // Stars in a 20 degree square, ordered by their cell at depth 9, so that
  // four consecutive stars lie close together like a builder's quads.
  std::vector<std::pair<uint64_t, StarRecord>> cells;
  for (size_t i = 0; i < n; ++i) {
    const StarRecord s = tools::star_record(uni(rng) * 0.35, (uni(rng) - 0.5) * 0.35,
                                            static_cast<int16_t>(i % 30000));
    cells.emplace_back(tools::star_cell(s, 9), s);
  }
  std::sort(cells.begin(), cells.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& c : cells) desc.stars.push_back(c.second);
  std::vector<uint32_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = static_cast<uint32_t>(i);
  desc.bands.push_back({0.5, 0.02, 6, ids});
  for (uint32_t i = 0; i + 3 < n; i += 1)
    desc.patterns.push_back({{i, i + 1, i + 2, i + 3}, 0});
  auto encoded = tools::encode_database(desc);
  auto out = std::make_unique<LookupDb>();
  out->encoded = std::move(*encoded);
  out->db = *Database::load(out->encoded.bytes, false, false);
  return out;
}

void BM_PatternLookup(benchmark::State& state) {
  const Database& db = g_lookup->db;
  std::vector<pattern::Pattern> images;
  for (uint32_t i = 0; i < db.header().pattern_count && images.size() < 256; i += 997) {
    const PatternRecord r = db.pattern_at(i);
    images.push_back(*pattern::sky_pattern(
        {db.star_at(r.star_ids[0]), db.star_at(r.star_ids[1]), db.star_at(r.star_ids[2]),
         db.star_at(r.star_ids[3])}));
  }
  const double diag = db.bands()[0].fov_deg / kRadToDeg;
  pattern::LookupCounters counters;
  size_t i = 0, hits = 0;
  for (auto _ : state) {
    pattern::lookup(db, images[i++ % images.size()], {0, 1, 2, 3}, diag,
                    [&](const pattern::PatternHit&) {
                      ++hits;
                      return false;
                    },
                    counters);
  }
  const double it = static_cast<double>(state.iterations());
  state.counters["patterns"] = db.header().pattern_count;
  state.counters["slots"] = db.header().slot_count;
  state.counters["keys"] = counters.keys / it;
  state.counters["probes"] = counters.probes / it;
  state.counters["candidates"] = counters.candidates / it;
  state.counters["hits"] = hits / it;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const std::string path = write_big_file();
  auto mapped = cli::map_file(path);
  if (!mapped) {
    std::fprintf(stderr, "%s\n", mapped.error().text().c_str());
    std::filesystem::remove(path);
    return 1;
  }
  g_big.emplace(std::move(*mapped));
  g_cone = make_cone_db();
  g_lookup = make_lookup_db();
  std::printf("cone database: %zu bytes; lookup database: %zu patterns, %u slots, longest probe %u\n",
              g_cone->encoded.bytes.size(), static_cast<size_t>(g_lookup->db.header().pattern_count),
              g_lookup->encoded.stats.slot_count, g_lookup->encoded.stats.longest_probe);

  benchmark::RegisterBenchmark("load/no_flags", BM_LoadNoFlags)->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("load/verified", BM_LoadVerified)
      ->Unit(benchmark::kMillisecond)
      ->Iterations(3);
  for (int band : {0, 1, 2})
    for (int r : {25, 100, 400, 1600})
      benchmark::RegisterBenchmark("stars_in_cone", BM_StarsInCone)
          ->Args({band, r})
          ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("pattern_lookup", BM_PatternLookup)->Unit(benchmark::kNanosecond);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  g_big.reset();
  std::filesystem::remove(path);
  return 0;
}
