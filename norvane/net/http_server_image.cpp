// Header reading for the pixel cap of POST "/": the declared width and height of
// the formats the image library decodes, found without decoding anything.

#include "norvane/net/http_server_image.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace norvane {
namespace detail {

namespace {

// Bounds-checked big- and little-endian reads; callers check the size first.
uint32_t be16(const unsigned char* p) { return static_cast<uint32_t>(p[0]) << 8 | p[1]; }
uint32_t be32(const unsigned char* p) { return be16(p) << 16 | be16(p + 2); }
uint32_t le16(const unsigned char* p) { return static_cast<uint32_t>(p[1]) << 8 | p[0]; }
uint32_t le24(const unsigned char* p) { return static_cast<uint32_t>(p[2]) << 16 | le16(p); }
uint32_t le32(const unsigned char* p) { return static_cast<uint32_t>(p[3]) << 24 | le24(p); }

bool starts(const unsigned char* d, size_t size, const char* magic, size_t n) {
  return size >= n && std::memcmp(d, magic, n) == 0;
}

uint64_t magnitude(uint32_t v) {
  const auto s = static_cast<int32_t>(v);
  return s < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(s)) : static_cast<uint64_t>(s);
}

// Markers up to the first frame header; libjpeg skips stray bytes between
// segments the same way.
bool jpeg_size(const unsigned char* d, size_t size, uint64_t& w, uint64_t& h) {
  size_t pos = 2;
  while (pos < size) {
    if (d[pos] != 0xFF) {
      ++pos;
      continue;
    }
    while (pos < size && d[pos] == 0xFF) ++pos;
    if (pos >= size) return false;
    const unsigned char marker = d[pos++];
    if (marker == 0x00 || marker == 0x01 || marker == 0xD8 || (marker >= 0xD0 && marker <= 0xD7)) continue;
    if (marker == 0xD9 || marker == 0xDA) return false;  // image end or scan data before any frame header
    if (pos + 2 > size) return false;
    const size_t length = be16(d + pos);
    if (length < 2) return false;
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (pos + 7 > size) return false;
      h = be16(d + pos + 3);
      w = be16(d + pos + 5);
      return true;
    }
    pos += length;
  }
  return false;
}

bool tiff_size(const unsigned char* d, size_t size, uint64_t& w, uint64_t& h) {
  const bool little = d[0] == 'I';
  auto u16 = [&](size_t at) { return little ? le16(d + at) : be16(d + at); };
  auto u32 = [&](size_t at) { return little ? le32(d + at) : be32(d + at); };
  if (size < 8) return false;
  const uint64_t ifd = u32(4);
  if (ifd + 2 > size) return false;
  const uint32_t entries = u16(static_cast<size_t>(ifd));
  bool have_w = false, have_h = false;
  for (uint32_t i = 0; i < entries && !(have_w && have_h); ++i) {
    const uint64_t e = ifd + 2 + 12ull * i;
    if (e + 12 > size) return false;
    const size_t at = static_cast<size_t>(e);
    const uint32_t tag = u16(at), type = u16(at + 2);
    if (tag != 256 && tag != 257) continue;
    uint64_t value;
    if (type == 3) {
      value = u16(at + 8);
    } else if (type == 4) {
      value = u32(at + 8);
    } else {
      return false;
    }
    (tag == 256 ? w : h) = value;
    (tag == 256 ? have_w : have_h) = true;
  }
  return have_w && have_h;
}

// Text headers (PNM family, PAM, PFM): white-space separated tokens, comments
// from '#' to the end of the line.
class Tokens {
 public:
  Tokens(const unsigned char* d, size_t size, size_t pos) : _d(d), _size(size), _pos(pos) {}
  bool next(std::string& token) {
    token.clear();
    while (_pos < _size) {
      const char c = static_cast<char>(_d[_pos]);
      if (c == '#') {
        while (_pos < _size && _d[_pos] != '\n' && _d[_pos] != '\r') ++_pos;
      } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') {
        ++_pos;
      } else {
        break;
      }
    }
    while (_pos < _size && token.size() < 32) {
      const char c = static_cast<char>(_d[_pos]);
      if (c == '#' || c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f') break;
      token += c;
      ++_pos;
    }
    // A token that runs into the end of the bytes may be cut short ("64" of "640").
    return !token.empty() && _pos < _size;
  }
  // A decimal count; values too long to matter saturate rather than wrap.
  bool number(uint64_t& value) {
    std::string token;
    if (!next(token) || token.find_first_not_of("0123456789") != std::string::npos) return false;
    value = token.size() > 18 ? UINT64_MAX / 2 : std::stoull(token);
    return true;
  }

 private:
  const unsigned char* _d;
  size_t _size;
  size_t _pos;
};

bool pnm_size(const unsigned char* d, size_t size, uint64_t& w, uint64_t& h) {
  if (size < 3) return false;
  Tokens tokens(d, size, 2);
  if (d[1] != '7') return tokens.number(w) && tokens.number(h);
  bool have_w = false, have_h = false;
  std::string token;
  for (int i = 0; i < 64 && tokens.next(token) && token != "ENDHDR"; ++i) {
    if (token == "WIDTH") have_w = tokens.number(w);
    if (token == "HEIGHT") have_h = tokens.number(h);
  }
  return have_w && have_h;
}

// Radiance: header lines up to an empty line, then a resolution line such as
// "-Y 480 +X 640" (height first when Y comes first).
bool hdr_size(const unsigned char* d, size_t size, uint64_t& w, uint64_t& h) {
  const size_t limit = size < 65536 ? size : 65536;
  size_t pos = 0;
  bool blank = false;
  while (pos < limit && !blank) {
    const size_t start = pos;
    while (pos < limit && d[pos] != '\n') ++pos;
    blank = pos == start;
    ++pos;
  }
  if (!blank || pos >= size) return false;
  Tokens tokens(d, size, pos);
  std::string first, second;
  uint64_t a = 0, b = 0;
  if (!tokens.next(first) || !tokens.number(a) || !tokens.next(second) || !tokens.number(b)) return false;
  if (first.size() != 2 || second.size() != 2) return false;
  const bool y_first = first[1] == 'Y';
  w = y_first ? b : a;
  h = y_first ? a : b;
  return true;
}

// JP2 boxes: the image header box inside the header super-box.
bool jp2_size(const unsigned char* d, size_t size, uint64_t& w, uint64_t& h) {
  size_t pos = 0, end = size;
  while (pos + 8 <= end) {
    uint64_t length = be32(d + pos);
    size_t header = 8;
    if (length == 1) {
      if (pos + 16 > end) return false;
      length = static_cast<uint64_t>(be32(d + pos + 8)) << 32 | be32(d + pos + 12);
      header = 16;
    } else if (length == 0) {
      length = end - pos;
    }
    if (length < header || length > end - pos) return false;
    if (std::memcmp(d + pos + 4, "jp2h", 4) == 0) {
      end = pos + static_cast<size_t>(length);
      pos += header;
      continue;
    }
    if (std::memcmp(d + pos + 4, "ihdr", 4) == 0) {
      if (pos + header + 8 > end) return false;
      h = be32(d + pos + header);
      w = be32(d + pos + header + 4);
      return true;
    }
    pos += static_cast<size_t>(length);
  }
  return false;
}

// OpenEXR: attributes (name, type, size, value) after the version field, up to
// an empty name; the size is the "dataWindow" box of inclusive corners.
bool exr_size(const unsigned char* d, size_t size, uint64_t& w, uint64_t& h) {
  size_t pos = 8;
  while (pos < size && d[pos] != 0) {
    const auto* name = reinterpret_cast<const char*>(d + pos);
    const size_t name_end = std::find(d + pos, d + size, 0) - d;
    if (name_end >= size) return false;
    const size_t type_end = std::find(d + name_end + 1, d + size, 0) - d;
    if (type_end + 4 >= size) return false;
    const uint64_t length = le32(d + type_end + 1);
    const size_t value = type_end + 5;
    if (length > size - value) return false;
    if (std::strcmp(name, "dataWindow") == 0 && length == 16) {
      const int64_t x0 = static_cast<int32_t>(le32(d + value)), y0 = static_cast<int32_t>(le32(d + value + 4));
      const int64_t x1 = static_cast<int32_t>(le32(d + value + 8)), y1 = static_cast<int32_t>(le32(d + value + 12));
      w = x1 >= x0 ? static_cast<uint64_t>(x1 - x0 + 1) : 0;
      h = y1 >= y0 ? static_cast<uint64_t>(y1 - y0 + 1) : 0;
      return true;
    }
    pos = value + static_cast<size_t>(length);
  }
  return false;
}

}  // namespace

bool read_picture_size(const unsigned char* d, size_t size, uint64_t& width, uint64_t& height) {
  uint64_t w = 0, h = 0;
  bool known = false;
  if (size >= 3 && d[0] == 0xFF && d[1] == 0xD8) {
    known = jpeg_size(d, size, w, h);
  } else if (starts(d, size, "\x89PNG\r\n\x1a\n", 8)) {
    known = size >= 24 && std::memcmp(d + 12, "IHDR", 4) == 0;
    if (known) {
      w = be32(d + 16);
      h = be32(d + 20);
    }
  } else if (starts(d, size, "BM", 2)) {
    if (size >= 26) {
      const uint32_t info = le32(d + 14);
      known = true;
      if (info == 12) {
        w = le16(d + 18);
        h = le16(d + 20);
      } else {
        w = magnitude(le32(d + 18));
        h = magnitude(le32(d + 22));
      }
    }
  } else if (size >= 30 && starts(d, size, "RIFF", 4) && std::memcmp(d + 8, "WEBP", 4) == 0) {
    if (std::memcmp(d + 12, "VP8 ", 4) == 0 && d[23] == 0x9D && d[24] == 0x01 && d[25] == 0x2A) {
      w = le16(d + 26) & 0x3FFF;
      h = le16(d + 28) & 0x3FFF;
      known = true;
    } else if (std::memcmp(d + 12, "VP8L", 4) == 0 && d[20] == 0x2F) {
      const uint32_t bits = le32(d + 21);
      w = (bits & 0x3FFF) + 1;
      h = ((bits >> 14) & 0x3FFF) + 1;
      known = true;
    } else if (std::memcmp(d + 12, "VP8X", 4) == 0) {
      w = le24(d + 24) + 1ull;
      h = le24(d + 27) + 1ull;
      known = true;
    }
  } else if (starts(d, size, "II*\0", 4) || starts(d, size, "MM\0*", 4)) {
    known = tiff_size(d, size, w, h);
  } else if (size >= 3 && d[0] == 'P' && std::strchr("1234567Ff", d[1]) != nullptr && d[1] != '\0' &&
             std::strchr(" \t\r\n", d[2]) != nullptr && d[2] != '\0') {
    known = pnm_size(d, size, w, h);
  } else if (starts(d, size, "\x59\xA6\x6A\x95", 4)) {
    known = size >= 12;
    if (known) {
      w = be32(d + 4);
      h = be32(d + 8);
    }
  } else if (starts(d, size, "#?", 2)) {
    known = hdr_size(d, size, w, h);
  } else if (starts(d, size, "\xFF\x4F\xFF\x51", 4)) {
    known = size >= 24;
    if (known) {
      const uint32_t x = be32(d + 8), y = be32(d + 12), x0 = be32(d + 16), y0 = be32(d + 20);
      w = x >= x0 ? x - x0 : 0;
      h = y >= y0 ? y - y0 : 0;
    }
  } else if (starts(d, size, "\0\0\0\x0CjP  \r\n\x87\n", 12)) {
    known = jp2_size(d, size, w, h);
  } else if (starts(d, size, "\x76\x2F\x31\x01", 4)) {
    known = exr_size(d, size, w, h);
  }
  if (known) {
    width = w;
    height = h;
  }
  return known;
}

}  // namespace detail
}  // namespace norvane
