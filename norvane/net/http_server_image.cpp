// Header reading for the pixel cap of POST "/". For each decoder of the image
// library: the test by which the library picks it for a body (the same tests, in
// the same order, so that a body is measured by the reader of the decoder that
// will get it), and the size, sample layout and tiling that decoder allocates by.
// Readers err on the safe side: a header they cannot follow leaves the picture
// without a size, and such a picture is refused.

#include "norvane/net/http_server_image.h"

#include <webp/decode.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "norvane/net/http_server_image_read.h"

namespace norvane {
namespace detail {

namespace {

using namespace image_read;

// libjpeg's walk over the markers up to the first scan: stray bytes between
// segments are skipped, fill bytes before a marker too. A progressive picture,
// or one whose first scan leaves components out, is held whole as 16-bit DCT
// coefficients (64 per 8 x 8 block, each component at its own sampling).
void read_jpeg(const unsigned char* d, size_t size, PictureHeader& h) {
  unsigned frame = 0, precision = 8, count = 0, hmax = 1, vmax = 1;
  unsigned sampling[256][2];
  uint64_t width = 0, height = 0;
  size_t pos = 2;
  while (pos < size) {
    if (d[pos] != 0xFF) {
      ++pos;
      continue;
    }
    while (pos < size && d[pos] == 0xFF) ++pos;
    if (pos >= size) return;
    const unsigned marker = d[pos++];
    if (marker == 0x00 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;
    if (marker == 0xD9 || pos + 2 > size) return;  // image end before any scan
    const size_t length = be16(d + pos);
    if (length < 2) return;
    if (marker == 0xDA) {
      if (frame == 0 || pos + 3 > size) return;  // a scan before the frame header
      set_size(h, width, height, count * (precision > 8 ? 2 : 1));
      const bool progressive = (frame & 3) == 2;  // SOF2, SOF6, SOF10, SOF14
      if (progressive || d[pos + 2] < count) {
        h.decoded_bytes = 0;
        for (unsigned c = 0; c < count; ++c) {
          const uint64_t hs = sampling[c][0], vs = sampling[c][1];
          const uint64_t blocks_w = round_up(ceil_div(width * hs, 8 * hmax), hs);
          const uint64_t blocks_h = round_up(ceil_div(height * vs, 8 * vmax), vs);
          h.decoded_bytes += blocks_w * blocks_h * 128;
        }
      }
      return;
    }
    const bool sof = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (sof) {
      if (frame != 0 || pos + 8 > size) return;  // libjpeg refuses a second frame header
      precision = d[pos + 2];
      height = be16(d + pos + 3);
      width = be16(d + pos + 5);
      count = d[pos + 7];
      if (count == 0 || pos + 8 + 3 * count > size) return;
      for (unsigned c = 0; c < count; ++c) {
        const unsigned hs = d[pos + 9 + 3 * c] >> 4, vs = d[pos + 9 + 3 * c] & 15;
        if (hs < 1 || hs > 4 || vs < 1 || vs > 4) return;
        sampling[c][0] = hs;
        sampling[c][1] = vs;
        hmax = std::max(hmax, hs);
        vmax = std::max(vmax, vs);
      }
      frame = marker;
    }
    pos += length;
  }
}

// IHDR comes first, as libpng demands; a transparency chunk before the image
// data gives a colour or palette picture a fourth channel.
void read_png(const unsigned char* d, size_t size, PictureHeader& h) {
  if (size < 29 || std::memcmp(d + 12, "IHDR", 4) != 0) return;
  const unsigned depth = d[24], colour = d[25];
  unsigned channels = colour == 0 ? 1 : colour == 2 || colour == 3 ? 3 : colour == 4 || colour == 6 ? 4 : 0;
  if (channels == 0) return;
  for (size_t pos = 20 + static_cast<size_t>(be32(d + 8)); channels == 3;) {
    if (pos + 8 > size) {
      channels = 4;  // cut short before the image data: assume the larger
    } else if (std::memcmp(d + pos + 4, "IDAT", 4) == 0) {
      break;
    } else if (std::memcmp(d + pos + 4, "tRNS", 4) == 0) {
      channels = 4;
    } else {
      pos += 12 + static_cast<size_t>(be32(d + pos));
    }
  }
  set_size(h, be32(d + 16), be32(d + 20), channels * (depth == 16 ? 2 : 1));
}

// The info header's own size tells its layout: 12 bytes with 16-bit sizes, or
// 36 and more with signed 32-bit ones (a negative height is a top-down picture).
void read_bmp(const unsigned char* d, size_t size, PictureHeader& h) {
  if (size < 18) return;
  const auto header = static_cast<int32_t>(le32(d + 14));
  if (header == 12 && size >= 26) {
    set_size(h, le16(d + 18), le16(d + 20), 3);
  } else if (header >= 36 && size >= 34 && static_cast<int32_t>(le32(d + 18)) > 0) {
    const bool alpha = le16(d + 28) == 32 && le32(d + 30) != 0;  // 32 bits with channel masks
    set_size(h, le32(d + 18), magnitude(le32(d + 22)), alpha ? 4 : 3);
  }
}

// The library asks libwebp about the first 32 bytes, blank-padded: besides a
// RIFF file that takes a bare VP8 or VP8L bitstream. The size is read from the
// same 32 bytes of the body, which must have them.
bool is_webp(const unsigned char* d, size_t size) {
  unsigned char window[32];
  std::memset(window, ' ', sizeof(window));
  std::memcpy(window, d, std::min(size, sizeof(window)));
  WebPBitstreamFeatures features;
  return WebPGetFeatures(window, sizeof(window), &features) == VP8_STATUS_OK;
}

void read_webp(const unsigned char* d, size_t size, PictureHeader& h) {
  WebPBitstreamFeatures features;
  if (size >= 32 && WebPGetFeatures(d, 32, &features) == VP8_STATUS_OK)
    set_size(h, features.width, features.height, features.has_alpha ? 4 : 3);
}

void read_sun_raster(const unsigned char* d, size_t size, PictureHeader& h) {
  if (size < 12) return;
  const auto width = static_cast<int32_t>(be32(d + 4)), height = static_cast<int32_t>(be32(d + 8));
  if (width > 0 && height > 0) set_size(h, width, height, 3);
}

bool is_pnm_kind(const unsigned char* d, size_t size, const char* kinds) {
  // The library pads its window of first bytes with blanks.
  auto at = [&](size_t i) { return i < size ? d[i] : static_cast<unsigned char>(' '); };
  return at(0) == 'P' && at(1) != 0 && std::strchr(kinds, at(1)) != nullptr && is_space(at(2));
}

std::string over_limit(const std::string& what, uint64_t width, uint64_t height, uint64_t bytes,
                       uint64_t max_pixels) {
  const std::string size = what + " of " + std::to_string(width) + " x " + std::to_string(height) + " pixels";
  if (width > kMaxPictureSide || height > kMaxPictureSide)
    return size + " is above the limit of " + std::to_string(kMaxPictureSide) + " pixels per side";
  if (height != 0 && width > max_pixels / height)
    return size + " is above the limit of " + std::to_string(max_pixels) + " pixels";
  // At least the decoded picture itself, three bytes a pixel.
  const uint64_t need = std::max(bytes, mul(width * height, 3));
  if (need > mul(max_pixels, 3))
    return size + " takes " + std::to_string(need) + " bytes to decode, above the limit of " +
           std::to_string(mul(max_pixels, 3)) + " bytes";
  return "";
}

}  // namespace

PictureHeader read_picture_header(const unsigned char* d, size_t size) {
  PictureHeader h;
  auto starts = [&](const char* magic, size_t n) { return size >= n && std::memcmp(d, magic, n) == 0; };
  auto refuse = [&](const char* format) {
    h.format = format;
    h.refusal = std::string(format) + " pictures are not accepted";
  };
  if (size == 0) return h;  // the library looks for no decoder
  if (starts("BM", 2)) {
    h.format = "BMP";
    read_bmp(d, size, h);
  } else if (starts("#?RGBE", 6) || starts("#?RADIANCE", 10)) {
    h.format = "Radiance HDR";
    read_hdr(d, size, h);
  } else if (starts("\xFF\xD8\xFF", 3)) {
    h.format = "JPEG";
    read_jpeg(d, size, h);
  } else if (is_webp(d, size)) {
    h.format = "WebP";
    read_webp(d, size, h);
  } else if (starts("\x59\xA6\x6A\x95", 4)) {
    h.format = "Sun raster";
    read_sun_raster(d, size, h);
  } else if (is_pnm_kind(d, size, "123456")) {
    h.format = "PNM";
    read_pnm(d, size, h);
  } else if (is_pnm_kind(d, size, "7")) {
    h.format = "PAM";
    read_pam(d, size, h);
  } else if (is_pnm_kind(d, size, "fF")) {
    h.format = "PFM";
    read_pfm(d, size, h);
  } else if (starts("II*\0", 4) || starts("MM\0*", 4) || starts("II+\0", 4) || starts("MM\0+", 4)) {
    h.format = "TIFF";
    read_tiff(d, size, h);
  } else if (starts("\x89PNG\r\n\x1a\n", 8)) {
    h.format = "PNG";
    read_png(d, size, h);
  } else if (size >= 132 && std::memcmp(d + 128, "DICM", 4) == 0) {
    // Decoded through a temporary file by a medical-imaging library.
    refuse("DICOM");
  } else if (starts("\0\0\0\x0CjP  \r\n\x87\n", 12)) {
    h.format = "JPEG 2000";
    read_jp2(d, size, h);
  } else if (starts("\xFF\x4F\xFF\x51", 4)) {
    h.format = "JPEG 2000";
    read_j2k(d, size, 0, h);
  } else if (starts("\x76\x2F\x31\x01", 4)) {
    h.format = "OpenEXR";
    read_exr(d, size, h);
  } else if (starts("NITF", 4) || (size >= 144 && std::memcmp(d + 140, "DTED", 4) == 0)) {
    // Handed as a temporary file to a geodata library, which opens whatever
    // of its many formats the file is, including ones that name other files.
    refuse(starts("NITF", 4) ? "NITF" : "DTED");
  }
  return h;
}

std::string picture_refusal(const PictureHeader& h, uint64_t max_pixels) {
  if (h.format == nullptr) return "";
  if (!h.refusal.empty()) return h.refusal;
  if (!h.sized) return std::string("no size can be read from the header of this ") + h.format + " picture";
  std::string why = over_limit("picture", h.width, h.height, h.decoded_bytes, max_pixels);
  if (why.empty() && h.part != nullptr)
    why = over_limit(std::string(h.format) + " " + h.part, h.part_width, h.part_height, h.part_bytes, max_pixels);
  return why;
}

}  // namespace detail
}  // namespace norvane
