// The viewer's frames as the browser receives them: 8-bit RGBA pixels (the library's gamma-encoded bytes)
// compressed to JPEG (libjpeg-turbo) while the view moves and to PNG (libpng) once refined.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "taluna.h"

namespace taluna::viewer {

// Each returns false with a message; `out` is replaced. Encoders keep no state between calls, so callers on
// different threads need no lock.
bool encodeJpeg(const TLUChar4* pixels, int width, int height, int quality, std::vector<uint8_t>* out,
                std::string* error);
// withAlpha: keep the alpha channel (a transparent sky); otherwise RGB.
bool encodePng(const TLUChar4* pixels, int width, int height, bool withAlpha, std::vector<uint8_t>* out,
               std::string* error);

}  // namespace taluna::viewer
