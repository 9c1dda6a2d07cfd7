// plane.hpp — the sample plane: one image as unsigned 16-bit samples.
//
// Every input format ends up here: element y * width + x is sample (x, y),
// and row 0 is the first row stored in the file (nothing is flipped).
#pragma once

#include <cstdint>
#include <vector>

namespace kestrune {

struct SamplePlane {
  std::vector<uint16_t> samples;
  uint32_t width = 0;
  uint32_t height = 0;
};

}  // namespace kestrune
