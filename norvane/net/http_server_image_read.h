#pragma once

// Pieces shared by the picture header readers of http_server_image*.cpp; not
// part of any interface. Byte reads take a pointer whose bytes the caller has
// checked to lie inside the body.

#include <cstddef>
#include <cstdint>
#include <string>

#include "norvane/net/http_server_image.h"

namespace norvane {
namespace detail {
namespace image_read {

inline uint32_t be16(const unsigned char* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
inline uint32_t be32(const unsigned char* p) { return be16(p) << 16 | be16(p + 2); }
inline uint64_t be64(const unsigned char* p) { return static_cast<uint64_t>(be32(p)) << 32 | be32(p + 4); }
inline uint32_t le16(const unsigned char* p) { return static_cast<uint32_t>(p[1]) << 8 | p[0]; }
inline uint32_t le32(const unsigned char* p) { return le16(p + 2) << 16 | le16(p); }
inline uint64_t le64(const unsigned char* p) { return static_cast<uint64_t>(le32(p + 4)) << 32 | le32(p); }

// Products of header fields saturate rather than wrap: a wrapped product would
// let a huge picture pass as a small one.
inline uint64_t mul(uint64_t a, uint64_t b) { return b != 0 && a > UINT64_MAX / b ? UINT64_MAX : a * b; }
inline uint64_t add(uint64_t a, uint64_t b) { return a > UINT64_MAX - b ? UINT64_MAX : a + b; }
inline uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }
inline uint64_t round_up(uint64_t a, uint64_t b) { return ceil_div(a, b) * b; }

// A signed 32-bit field, read as its magnitude.
inline uint64_t magnitude(uint32_t v) {
  const auto s = static_cast<int64_t>(static_cast<int32_t>(v));
  return static_cast<uint64_t>(s < 0 ? -s : s);
}

// isspace in the "C" locale, which the image library's signature tests and
// text-header decoders use.
inline bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

inline void set_size(PictureHeader& h, uint64_t width, uint64_t height, uint64_t bytes_per_pixel) {
  h.sized = true;
  h.width = width;
  h.height = height;
  h.decoded_bytes = mul(mul(width, height), bytes_per_pixel);
}

// Readers of the formats whose header is text (http_server_image_text.cpp),
// from the magic number on.
void read_pnm(const unsigned char* d, size_t size, PictureHeader& h);
void read_pam(const unsigned char* d, size_t size, PictureHeader& h);
void read_pfm(const unsigned char* d, size_t size, PictureHeader& h);
void read_hdr(const unsigned char* d, size_t size, PictureHeader& h);

// Readers of the formats with directories, boxes or attribute lists
// (http_server_image_tiled.cpp). read_j2k takes the columns of a JP2 palette,
// which the decoder expands into channels.
void read_tiff(const unsigned char* d, size_t size, PictureHeader& h);
void read_jp2(const unsigned char* d, size_t size, PictureHeader& h);
void read_j2k(const unsigned char* d, size_t size, unsigned palette_channels, PictureHeader& h);
void read_exr(const unsigned char* d, size_t size, PictureHeader& h);

}  // namespace image_read
}  // namespace detail
}  // namespace norvane
