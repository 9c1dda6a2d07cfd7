// tiny_db.hpp — small star databases for tests, written by the real writer.
//
// random_stars scatters stars over the sphere or a cap (deterministic per
// seed, mag ascending with the index); TinyDb holds the encoded file and the
// Database loaded from it with both verification flags, so a test fails early
// if the writer produced anything the loader would refuse.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "core/db.hpp"
#include "tools/db_writer.hpp"

namespace kestrune::testing {

// n stars uniform over the whole sky.
std::vector<StarRecord> random_stars(size_t n, uint64_t seed);

// n stars uniform within `radius` (radians) of (ra, dec).
std::vector<StarRecord> random_stars_in_cap(size_t n, double ra, double dec, double radius,
                                            uint64_t seed);

struct TinyDb {
  tools::EncodedDb encoded;
  Database db;

  TinyDb(tools::EncodedDb e, Database d) : encoded(std::move(e)), db(d) {}
  TinyDb(const TinyDb&) = delete;             // db views point into encoded.bytes
  TinyDb(TinyDb&&) = default;                 // a moved vector keeps its storage
  TinyDb& operator=(const TinyDb&) = delete;
};

// Encodes `desc` and loads the bytes with both flags; the error text says
// which step failed.
std::expected<TinyDb, std::string> make_db(const tools::DbSpec& desc);

// make_db for fixtures that cannot go on without their database: a failure
// prints its text and aborts rather than let the test read a missing one.
TinyDb must_make_db(const tools::DbSpec& desc);

// Every star id 0 .. n-1, for a band that lists all stars.
std::vector<uint32_t> all_ids(size_t n);

}  // namespace kestrune::testing
