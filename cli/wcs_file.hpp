// wcs_file.hpp — the .wcs result: a solution as a complete FITS header.
//
// The header describes a two-axis image of the solved size; the cards of
// Wcs::to_fits_header sit between the fixed image cards and the classic
// CDELT/CROTA cards, and the text is padded with spaces to whole 2880-byte
// blocks. It holds no line ends. derived_axes gives the CDELT/CROTA values
// that the .ini file repeats, so both files agree.
#pragma once

#include <cstdint>
#include <string>

#include "core/wcs.hpp"

namespace kestrune::cli {

// Degrees. cdelt1 carries the handedness: its sign is that of det(cd) by the
// sign bit (NaN for a NaN det); crota = atan2(-cd12, cd22).
struct DerivedAxes {
  double cdelt1, cdelt2, crota;
};
DerivedAxes derived_axes(const Wcs& wcs);

std::string wcs_file(const Wcs& wcs, uint32_t width, uint32_t height);

}  // namespace kestrune::cli
