#pragma once

// The size a posted picture declares, read from its header before anything is
// decoded, so that a picture claiming a huge size is refused before a pixel
// buffer exists.

#include <cstddef>
#include <cstdint>

namespace norvane {
namespace detail {

// Width and height declared by the header of a JPEG, PNG, BMP, WebP, TIFF,
// PBM/PGM/PPM/PAM/PFM, Sun raster, Radiance HDR, JPEG 2000 or OpenEXR picture. False
// when the bytes start no such header, or it is cut short before the size: the
// decoder then has the last word (and fails, or meets its own pixel limit).
bool read_picture_size(const unsigned char* data, size_t size, uint64_t& width, uint64_t& height);

}  // namespace detail
}  // namespace norvane
