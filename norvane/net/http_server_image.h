#pragma once

// What a posted picture declares in its header, read before anything is
// decoded: a few bytes of header can claim gigabytes of pixels, of tiles, or of
// the decoder's own bookkeeping, so a picture reaches the decoder only once its
// header has been measured here.

#include <cstddef>
#include <cstdint>
#include <string>

namespace norvane {
namespace detail {

// The longest side the image library takes (its own default limit); refused
// here already, as some readers build a table per row before that check.
constexpr uint64_t kMaxPictureSide = 1 << 20;

struct PictureHeader {
  // Name of the decoder the image library picks for these bytes (the same
  // signature tests in the same order); nullptr when none takes them, so the
  // library decodes nothing either.
  const char* format = nullptr;
  // A limit of the format itself that the header breaks, whatever the cap;
  // also the refusal of formats that are never decoded here.
  std::string refusal;
  // Set when the size was read; a picture without it is refused.
  bool sized = false;
  uint64_t width = 0;
  uint64_t height = 0;
  // Bytes the decoder holds for the picture's samples: width x height x
  // channels x bytes per sample as it allocates them (saturating).
  uint64_t decoded_bytes = 0;
  // A buffer the decoder fills apart from the picture, which the header may
  // make larger than the picture (a TIFF tile); part is nullptr when none.
  const char* part = nullptr;
  uint64_t part_width = 0;
  uint64_t part_height = 0;
  uint64_t part_bytes = 0;
};

// Reads the header of data[0, size); never reads outside it.
PictureHeader read_picture_header(const unsigned char* data, size_t size);

// Why the picture may not be decoded under a cap of max_pixels pixels, which
// also bounds the decoded bytes to 3 x max_pixels (the largest 8-bit colour
// picture); empty when it may be decoded.
std::string picture_refusal(const PictureHeader& header, uint64_t max_pixels);

}  // namespace detail
}  // namespace norvane
