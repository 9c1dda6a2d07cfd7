#include "tests/support/tiny_db.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <random>

namespace kestrune::testing {

std::vector<StarRecord> random_stars(size_t n, uint64_t seed) {
  return random_stars_in_cap(n, 0, std::numbers::pi / 2, std::numbers::pi, seed);
}

std::vector<StarRecord> random_stars_in_cap(size_t n, double ra, double dec, double radius,
                                            uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> uni(0, 1);
  // Axis frame of the cap: w the axis, u and v across it.
  const std::array<double, 3> w = unit_vector(ra, dec);
  const std::array<double, 3> u = {-std::sin(ra), std::cos(ra), 0};
  const std::array<double, 3> v = {w[1] * u[2] - w[2] * u[1], w[2] * u[0] - w[0] * u[2],
                                   w[0] * u[1] - w[1] * u[0]};
  const double zmin = std::cos(radius);
  std::vector<StarRecord> stars;
  stars.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const double z = 1 - uni(rng) * (1 - zmin);  // uniform in area
    const double phi = uni(rng) * 2 * std::numbers::pi;
    const double r = std::sqrt(std::max(0.0, 1 - z * z));
    std::array<double, 3> s{};
    for (size_t j = 0; j < 3; ++j)
      s[j] = z * w[j] + r * std::cos(phi) * u[j] + r * std::sin(phi) * v[j];
    stars.push_back(tools::star_record(s, static_cast<int16_t>(std::min<size_t>(i, 32767))));
  }
  return stars;
}

std::expected<TinyDb, std::string> make_db(const tools::DbSpec& desc) {
  auto encoded = tools::encode_database(desc);
  if (!encoded) return std::unexpected("encoding: " + encoded.error().message());
  auto db = Database::load(encoded->bytes, true, true);
  if (!db) return std::unexpected("loading: " + db.error().message());
  return TinyDb(std::move(*encoded), *db);
}

TinyDb must_make_db(const tools::DbSpec& desc) {
  auto made = make_db(desc);
  if (!made) {
    std::fprintf(stderr, "test database: %s\n", made.error().c_str());
    std::abort();
  }
  return std::move(*made);
}

std::vector<uint32_t> all_ids(size_t n) {
  std::vector<uint32_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = static_cast<uint32_t>(i);
  return ids;
}

}  // namespace kestrune::testing
