// Header readers for the formats whose size sits in a directory, a box tree or
// an attribute list, and whose decoders allocate by tiles as well as by the
// picture: TIFF, JPEG 2000 and OpenEXR.

#include <algorithm>
#include <cstring>
#include <string>

#include "norvane/net/http_server_image_read.h"

namespace norvane {
namespace detail {
namespace image_read {

namespace {

// OpenJPEG's state beside the samples, measured: about 9 KiB a tile and 1 KiB a
// tile component, built while it reads the main header (65535 tiles of an
// 87-byte codestream took 811 MB), and some 400 to 500 bytes for every
// precinct and code-block, of which each resolution and band of a tile
// component has one at least (a megapixel in 2 x 2 precincts took 1.7 GB).
constexpr uint64_t kJpeg2000TileBytes = 9 * 1024;
constexpr uint64_t kJpeg2000TileComponentBytes = 1024;
constexpr uint64_t kJpeg2000BlockBytes = 512;
// The image library decodes at most four components.
constexpr uint64_t kMaxJpeg2000Components = 4;

// The finest partition any COD or COC marker of a codestream asks for, in the
// main header or a tile-part header: the most decomposition levels, and the
// smallest code-block and precinct areas as powers of two.
struct Jpeg2000Coding {
  unsigned levels = 0;
  unsigned block_log2 = 12;
  unsigned precinct_log2 = 30;

  // style: the marker's Scod or Scoc; p: its decomposition levels onwards.
  void read(unsigned style, const unsigned char* p, const unsigned char* end) {
    if (end - p < 5) return;
    levels = std::max<unsigned>(levels, p[0]);
    block_log2 = std::min<unsigned>(block_log2, (p[1] & 15) + (p[2] & 15) + 4);
    for (const unsigned char* pp = p + 5; (style & 1) != 0 && pp < end && pp <= p + 5 + p[0]; ++pp)
      precinct_log2 = std::min<unsigned>(precinct_log2, (*pp & 15) + (*pp >> 4));
  }
};

// The COD and COC markers of the main header and of every tile-part header that
// the chain of tile-part lengths reaches. A COC names its component in one byte
// (up to 256 components).
Jpeg2000Coding jpeg2000_coding(const unsigned char* d, size_t size) {
  Jpeg2000Coding coding;
  size_t pos = 2, tile_part = 0;  // tile_part: where the current tile-part's SOT is (0: main header)
  while (pos + 4 <= size && d[pos] == 0xFF) {
    const unsigned marker = be16(d + pos);
    if (marker == 0xFF93 || marker == 0xFFD9) {
      // SOD: the tile-part's data up to the length its SOT gives (0 for a
      // last tile-part that runs to the end); EOC: the end.
      const size_t next = tile_part + (marker == 0xFF93 && tile_part != 0 ? be32(d + tile_part + 6) : 0);
      if (next <= pos) break;
      pos = next;
      continue;
    }
    const size_t length = be16(d + pos + 2), end = std::min(size, pos + 2 + length);
    if (length < 2) break;
    if (marker == 0xFF90 && length == 10 && end >= pos + 10) tile_part = pos;
    if (marker == 0xFF52 && end > pos + 9) coding.read(d[pos + 4], d + pos + 9, d + end);
    if (marker == 0xFF53 && end > pos + 6) coding.read(d[pos + 5], d + pos + 6, d + end);
    pos += 2 + length;
  }
  return coding;
}

// One TIFF or BigTIFF file in the byte order its header names.
struct Tiff {
  const unsigned char* d;
  size_t size;
  bool little;
  bool big;

  bool has(uint64_t at, uint64_t n) const { return at <= size && n <= size - at; }
  uint64_t read(uint64_t at, unsigned n) const {
    uint64_t v = 0;
    for (unsigned i = 0; i < n; ++i) v |= static_cast<uint64_t>(d[at + i]) << (8 * (little ? i : n - 1 - i));
    return v;
  }
};

// Bytes of one value of the integer field types libtiff takes for a size or
// count; 0 for the rest (offsets, rationals, floats, text, undefined).
unsigned tiff_type_size(uint64_t type) {
  switch (type) {
    case 1:  // BYTE
    case 6:  // SBYTE
      return 1;
    case 3:  // SHORT
    case 8:  // SSHORT
      return 2;
    case 4:  // LONG
    case 9:  // SLONG
      return 4;
    case 16:  // LONG8
    case 17:  // SLONG8
      return 8;
    default:
      return 0;
  }
}

// Value i of the directory entry at `entry`, as libtiff takes it for a size or
// count: any integer type, signed ones not negative; the values sit in the
// entry when they fit (4 bytes, 8 in BigTIFF), elsewhere at the offset it holds.
bool tiff_value(const Tiff& t, uint64_t entry, uint64_t i, uint64_t& value) {
  const uint64_t type = t.read(entry + 2, 2);
  const unsigned n = tiff_type_size(type);
  const unsigned field = t.big ? 8 : 4;
  const uint64_t count = t.read(entry + 4, field);
  if (n == 0 || i >= count) return false;
  uint64_t at = entry + (t.big ? 12 : 8);
  if (mul(count, n) > field) at = t.read(at, field);
  if (!t.has(at, mul(i + 1, n))) return false;
  value = t.read(at + i * n, n);
  const bool is_signed = type == 6 || type == 8 || type == 9 || type == 17;
  return !(is_signed && (value >> (8 * n - 1)) != 0);
}

// A JPEG 2000 box at pos within [pos, end): where its contents start and its
// length, which may run past `end` (a length of 0 runs to the end).
bool jp2_box(const unsigned char* d, uint64_t pos, uint64_t end, uint64_t& contents, uint64_t& length) {
  if (end - pos < 8) return false;
  length = be32(d + pos);
  contents = pos + 8;
  if (length == 1) {
    if (end - pos < 16) return false;
    length = be64(d + pos + 8);
    contents = pos + 16;
  } else if (length == 0) {
    length = end - pos;
  }
  return length >= contents - pos;
}

// Bytes OpenEXR reads for an attribute value of the given type at d[at, size),
// stated as `length` bytes in the file: values of a known type are read at their
// own size whatever the file states, the rest by the stated length. False where
// the reading is not followed here.
bool exr_value_length(const std::string& type, const unsigned char* d, size_t size, size_t at, uint64_t length,
                      uint64_t& read) {
  static const struct {
    const char* type;
    unsigned size;
  } kFixed[] = {{"box2i", 16},   {"box2f", 16},    {"chromaticities", 32}, {"compression", 1}, {"deepImageState", 1},
                {"double", 8},   {"envmap", 1},    {"float", 4},           {"int", 4},         {"keycode", 28},
                {"lineOrder", 1}, {"m33f", 36},    {"m33d", 72},           {"m44f", 64},       {"m44d", 128},
                {"rational", 8}, {"tiledesc", 9},  {"timecode", 8},        {"v2i", 8},         {"v2f", 8},
                {"v2d", 16},     {"v3i", 12},      {"v3f", 12},            {"v3d", 24}};
  for (const auto& fixed : kFixed) {
    if (type == fixed.type) {
      read = fixed.size;
      return true;
    }
  }
  if (type == "chlist") {  // entries of a name and 16 bytes, up to an empty name
    size_t p = at;
    while (p < size && d[p] != 0) {
      const auto* name_end = static_cast<const unsigned char*>(std::memchr(d + p, 0, std::min<size_t>(size - p, 256)));
      if (name_end == nullptr) return false;
      p = static_cast<size_t>(name_end - d) + 17;
    }
    read = p + 1 - at;
    return p < size;
  }
  if (type == "preview") {  // width and height, then 4 bytes a pixel
    if (at + 8 > size) return false;
    read = 8 + mul(mul(le32(d + at), le32(d + at + 4)), 4);
    return true;
  }
  if (type == "stringvector") {  // strings each with its length, while the read stays under the stated length
    read = 0;
    while (read < length) {
      if (at + read + 4 > size || static_cast<int32_t>(le32(d + at + read)) < 0) return false;
      read += 4 + le32(d + at + read);
    }
    return true;
  }
  if (type == "floatvector") {
    read = length - length % 4;
    return true;
  }
  read = length;
  return type != "idmanifest";
}

}  // namespace

void read_tiff(const unsigned char* d, size_t size, PictureHeader& h) {
  const bool little = d[0] == 'I';
  const Tiff t{d, size, little, (little ? d[2] : d[3]) == 43};
  uint64_t first = 0, entries = 0;
  if (!t.big) {
    if (size < 8 || !t.has(t.read(4, 4), 2)) return;
    entries = t.read(t.read(4, 4), 2);
    first = t.read(4, 4) + 2;
  } else {
    if (size < 16 || t.read(4, 2) != 8 || t.read(6, 2) != 0 || !t.has(t.read(8, 8), 8)) return;
    entries = t.read(t.read(8, 8), 8);
    first = t.read(8, 8) + 8;
  }
  const unsigned entry_size = t.big ? 20 : 12;
  // libtiff refuses a directory of more than 4096 entries.
  if (entries > 4096 || !t.has(first, entries * entry_size)) return;

  uint64_t width = 0, height = 0, samples = 1, bits = 1, tile_width = 0, tile_height = 0;
  bool have_width = false, have_height = false, tiled = false;
  for (uint64_t i = 0; i < entries; ++i) {
    const uint64_t e = first + i * entry_size;
    const uint64_t tag = t.read(e, 2), count = t.read(e + 4, t.big ? 8 : 4);
    uint64_t v = 0;
    if (tag == 258) {
      // BitsPerSample: a value per sample, which libtiff requires to agree.
      for (uint64_t j = 0; j < std::min<uint64_t>(count, 64); ++j) {
        if (!tiff_value(t, e, j, v)) return;
        bits = std::max(bits, v);
      }
      continue;
    }
    if (tag != 256 && tag != 257 && tag != 277 && tag != 322 && tag != 323) continue;
    // libtiff takes one value for these. It keeps the first of a repeated tag:
    // a repeated size gives no size here, others count at their largest.
    if (count != 1 || !tiff_value(t, e, 0, v)) return;
    if ((tag == 256 && have_width) || (tag == 257 && have_height)) return;
    if (tag == 256) width = v, have_width = true;
    if (tag == 257) height = v, have_height = true;
    if (tag == 277) samples = std::max(samples, v);
    if (tag == 322) tile_width = std::max(tile_width, v), tiled = true;
    if (tag == 323) tile_height = std::max(tile_height, v), tiled = true;
  }
  if (!have_width || !have_height) return;
  const uint64_t sample_bytes = mul(samples, bits <= 8 ? 1 : bits <= 16 ? 2 : bits <= 32 ? 4 : 8);
  set_size(h, width, height, sample_bytes);
  // Strips are cut to the picture's height; tiles are not. The image library
  // reads a tile into a 4-byte RGBA buffer of the tile's size, beside libtiff's
  // buffer of the tile's samples; a tile side it cannot take as an int stands
  // for the picture's side.
  if (tiled) {
    h.part = "tile";
    h.part_width = tile_width == 0 || tile_width > INT32_MAX ? width : tile_width;
    h.part_height = tile_height == 0 || tile_height > INT32_MAX ? height : tile_height;
    h.part_bytes = mul(mul(h.part_width, h.part_height), 4 + sample_bytes);
  }
}

// The box tree up to the codestream, as OpenJPEG reads it: a palette box in the
// header box turns one component into as many channels as it has columns.
void read_jp2(const unsigned char* d, size_t size, PictureHeader& h) {
  unsigned palette = 0;
  uint64_t pos = 0, contents = 0, length = 0;
  while (pos < size && jp2_box(d, pos, size, contents, length)) {
    if (std::memcmp(d + pos + 4, "jp2c", 4) == 0)
      return read_j2k(d + contents, std::min<uint64_t>(length, size - pos) - (contents - pos), palette, h);
    if (length > size - pos) return;
    if (std::memcmp(d + pos + 4, "jp2h", 4) == 0) {
      uint64_t sub = contents, sub_contents = 0, sub_length = 0;
      for (; sub < pos + length; sub += sub_length) {
        if (!jp2_box(d, sub, pos + length, sub_contents, sub_length) || sub_length > pos + length - sub) return;
        if (std::memcmp(d + sub + 4, "pclr", 4) != 0) continue;
        if (sub_contents + 3 > sub + sub_length) return;
        palette = std::max<unsigned>(palette, d[sub_contents + 2]);
      }
    }
    pos += length;
  }
}

// The main header starts with SIZ, as OpenJPEG demands: the reference grid, the
// image and tile origins, the tile size and the components.
void read_j2k(const unsigned char* d, size_t size, unsigned palette_channels, PictureHeader& h) {
  if (size < 42 || be16(d) != 0xFF4F || be16(d + 2) != 0xFF51) return;
  const uint64_t x1 = be32(d + 8), y1 = be32(d + 12), x0 = be32(d + 16), y0 = be32(d + 20);
  const uint64_t tile_w = be32(d + 24), tile_h = be32(d + 28), tile_x0 = be32(d + 32), tile_y0 = be32(d + 36);
  const uint64_t components = be16(d + 40);
  if (x1 <= x0 || y1 <= y0 || tile_w == 0 || tile_h == 0 || tile_x0 > x0 || tile_y0 > y0 || components == 0) return;
  if (components > kMaxJpeg2000Components) {
    h.refusal = "JPEG 2000 picture of " + std::to_string(components) + " components is above the limit of " +
                std::to_string(kMaxJpeg2000Components) + " components";
    return;
  }
  // Every sample is held as a 32-bit integer; the state grows with the tiles,
  // and with the precincts and code-blocks over all resolutions (a third more
  // than the picture's area).
  set_size(h, x1 - x0, y1 - y0, 4 * std::max<uint64_t>(components, palette_channels));
  const Jpeg2000Coding coding = jpeg2000_coding(d, size);
  const uint64_t tiles = mul(ceil_div(x1 - tile_x0, tile_w), ceil_div(y1 - tile_y0, tile_h));
  const uint64_t per_tile =
      kJpeg2000TileBytes + components * (kJpeg2000TileComponentBytes + kJpeg2000BlockBytes * (4 * coding.levels + 2));
  const uint64_t pixels = mul(h.width, h.height);
  const uint64_t area = mul(add(pixels, pixels / 3 + 1), kJpeg2000BlockBytes);
  // A code-block lies within a precinct, halved for the bands above the lowest resolution.
  const unsigned block_log2 = std::min(coding.block_log2, coding.precinct_log2 < 2 ? 0 : coding.precinct_log2 - 2);
  const uint64_t per_component = add(area >> block_log2, area >> coding.precinct_log2);
  h.decoded_bytes = add(h.decoded_bytes, add(mul(tiles, per_tile), mul(components, per_component)));
}

// Attributes (name, type, stated length, value) after the magic number and
// version, up to an empty name. A repeated attribute takes its last value in
// OpenEXR; here a repeated data window gives no size, and the rest count at
// their largest. The image library decodes red, green and blue (or luminance
// and chroma) as 32-bit floats.
void read_exr(const unsigned char* d, size_t size, PictureHeader& h) {
  uint64_t width = 0, height = 0, tile_w = 0, tile_h = 0, channels = 0;
  bool window = false, colour = false, tiled = false;
  size_t pos = 8;
  for (;;) {
    if (pos >= size) return;  // cut short before the end of the header
    if (d[pos] == 0) break;
    const auto* name_end =
        static_cast<const unsigned char*>(std::memchr(d + pos, 0, std::min<size_t>(size - pos, 256)));
    if (name_end == nullptr || name_end + 1 >= d + size) return;
    const size_t type_at = static_cast<size_t>(name_end - d) + 1;
    const auto* type_end =
        static_cast<const unsigned char*>(std::memchr(d + type_at, 0, std::min<size_t>(size - type_at, 256)));
    if (type_end == nullptr || type_end + 5 > d + size) return;
    const std::string name(reinterpret_cast<const char*>(d + pos)), type(reinterpret_cast<const char*>(d + type_at));
    const auto length = static_cast<int32_t>(le32(type_end + 1));
    const size_t value = static_cast<size_t>(type_end - d) + 5;
    uint64_t read = 0;
    if (length < 0 || static_cast<uint64_t>(length) > size - value ||
        !exr_value_length(type, d, size, value, static_cast<uint64_t>(length), read) ||
        read != static_cast<uint64_t>(length))
      return;
    if (name == "dataWindow") {
      if (type != "box2i" || window) return;
      const int64_t xmin = static_cast<int32_t>(le32(d + value)), ymin = static_cast<int32_t>(le32(d + value + 4));
      const int64_t xmax = static_cast<int32_t>(le32(d + value + 8)), ymax = static_cast<int32_t>(le32(d + value + 12));
      if (xmax < xmin || ymax < ymin) return;
      width = static_cast<uint64_t>(xmax - xmin + 1);
      height = static_cast<uint64_t>(ymax - ymin + 1);
      window = true;
    } else if (name == "channels") {
      if (type != "chlist") return;
      uint64_t count = 0;
      for (size_t p = value; d[p] != 0; p += std::strlen(reinterpret_cast<const char*>(d + p)) + 17, ++count) {
        const std::string channel(reinterpret_cast<const char*>(d + p));
        colour = colour || channel == "R" || channel == "G" || channel == "B" || channel == "RY" || channel == "BY";
      }
      channels = std::max(channels, count);
    } else if (name == "tiles") {
      if (type != "tiledesc") return;
      tile_w = std::max<uint64_t>(tile_w, le32(d + value));
      tile_h = std::max<uint64_t>(tile_h, le32(d + value + 4));
      tiled = true;
    }
    pos = value + static_cast<size_t>(length);
  }
  if (!window) return;
  set_size(h, width, height, colour ? 12 : 4);
  // Read through the scan-line interface, a tiled file is buffered a row of
  // tiles at a time: the picture's width (or a tile's, if wider) by a tile's
  // height, every channel of the file at up to 4 bytes.
  if (tiled) {
    h.part = "tile row";
    h.part_width = std::max(width, tile_w);
    h.part_height = tile_h;
    h.part_bytes = mul(mul(h.part_width, h.part_height), mul(std::max<uint64_t>(channels, 1), 4));
  }
}

}  // namespace image_read
}  // namespace detail
}  // namespace norvane
