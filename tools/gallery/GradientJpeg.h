// Real pictures for the sample gallery, for the tests that decode what they mirror.
#pragma once

#include <cstdint>
#include <string>

namespace gallery {

// A baseline JPEG of GradientWidth x GradientHeight pixels: a colour gradient whose hue follows
// from `hash`, so that pictures of different paths look different, and the same hash always
// gives the same bytes.
std::string GradientJpeg(std::uint64_t hash);

inline constexpr int GradientWidth = 320;
inline constexpr int GradientHeight = 240;

}  // namespace gallery
