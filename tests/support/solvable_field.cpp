#include "tests/support/solvable_field.hpp"

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "tools/db_writer.hpp"

namespace kestrune::testing {
namespace {

constexpr double kDegToRad = std::numbers::pi / 180;

// splitmix64: a fixed sequence, independent of the standard library.
struct Rng {
  uint64_t s;
  double uniform() {
    uint64_t z = (s += 0x9e3779b97f4a7c15);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    return static_cast<double>((z ^ (z >> 31)) >> 11) * 0x1p-53;
  }
};

Field make_field() {
  Field f;
  f.desc.ra_deg = 83.8;
  f.desc.dec_deg = -5.4;
  f.desc.scale_arcsec = 30;
  f.desc.rotation_deg = 20;
  f.desc.width = 160;
  f.desc.height = 120;
  f.desc.fwhm_px = 2.2;
  f.desc.seed = 3;

  const double diag_rad =
      std::hypot(f.desc.width, f.desc.height) * f.desc.scale_arcsec / 3600 * kDegToRad;
  const Wcs wcs = tools::true_wcs(f.desc);

  // Stars uniform over a cap of the field's diagonal, brightest first.
  constexpr size_t kStars = 800;
  Rng rng{11};
  tools::DbSpec db;
  const double cos_max = std::cos(diag_rad);
  const double ra0 = f.desc.ra_deg * kDegToRad, dec0 = f.desc.dec_deg * kDegToRad;
  for (size_t i = 0; i < kStars; ++i) {
    const double cos_t = 1 - rng.uniform() * (1 - cos_max), sin_t = std::sqrt(1 - cos_t * cos_t);
    const double phi = 2 * std::numbers::pi * rng.uniform();
    // Around the pole, then turned to the field centre.
    const double lx = sin_t * std::cos(phi), ly = sin_t * std::sin(phi), lz = cos_t;
    const double x1 = lx * std::sin(dec0) + lz * std::cos(dec0),
                 z1 = -lx * std::cos(dec0) + lz * std::sin(dec0);
    const std::array<double, 3> v{x1 * std::cos(ra0) - ly * std::sin(ra0),
                                  x1 * std::sin(ra0) + ly * std::cos(ra0), z1};
    const float mag = static_cast<float>(7 + 6.0 * i / kStars);
    db.stars.push_back(tools::star_record(v, static_cast<int16_t>(mag * 100)));
    const Vec2 radec = star_radec(db.stars.back());
    f.catalogue.push_back({radec[0] * kRadToDeg, radec[1] * kRadToDeg, mag});
  }

  tools::BandSpec band{diag_rad * kRadToDeg, diag_rad, 4, {}};
  for (uint32_t id = 0; id < kStars; ++id) band.star_ids.push_back(id);
  db.bands.push_back(std::move(band));

  std::vector<uint32_t> bright;  // the brightest stars well inside the frame
  for (uint32_t id = 0; id < kStars && bright.size() < 12; ++id) {
    const Vec2 radec = star_radec(db.stars[id]);
    const auto p = wcs.sky_to_pixel(radec[0], radec[1]);
    if (p && (*p)[0] > 6 && (*p)[0] < f.desc.width - 6 && (*p)[1] > 6 &&
        (*p)[1] < f.desc.height - 6)
      bright.push_back(id);
  }
  for (size_t i = 0; i < bright.size(); ++i)
    for (size_t j = i + 1; j < bright.size(); ++j)
      for (size_t k = j + 1; k < bright.size(); ++k)
        for (size_t l = k + 1; l < bright.size(); ++l)
          db.patterns.push_back({{bright[i], bright[j], bright[k], bright[l]}, 0});

  auto encoded = tools::encode_database(db);
  if (!encoded) std::abort();  // the field is fixed: this cannot fail unless the writer broke
  f.database = std::move(encoded->bytes);
  return f;
}

}  // namespace

const Field& solvable_field() {
  static const Field f = make_field();
  return f;
}

}  // namespace kestrune::testing
