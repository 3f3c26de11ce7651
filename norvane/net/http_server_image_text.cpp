// Header readers for the formats whose header is text: PNM (P1 to P6), PAM,
// PFM and Radiance HDR. Each follows the grammar of the image library's own
// decoder for it, and they differ: a '#' is a comment before a PNM number but
// ends the number inside one, PFM has no comments at all, and PAM allows none
// after a value. A size read by any other grammar than the decoder's lets a
// picture past the pixel cap at the size the decoder reads. Where a decoder
// takes a header only by accident (a count it wraps to a small one), the
// reader takes no size, and the picture is refused.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "norvane/net/http_server_image_read.h"

namespace norvane {
namespace detail {
namespace image_read {

namespace {

inline bool is_digit(int c) { return c >= '0' && c <= '9'; }
inline bool is_line_break(int c) { return c == '\n' || c == '\r'; }

// Adds digit c to value; false once the value passes what an int holds, which
// each of these decoders either refuses or wraps.
inline bool add_digit(uint64_t& value, int c) {
  value = value * 10 + static_cast<uint64_t>(c - '0');
  return value <= INT32_MAX;
}

// The PNM decoder's number, from pos: blanks and comments ('#' up to a line
// break) before it only, then digits. The byte after the digits ends the number
// and is dropped with it, whatever it is: "30x20" and "30#20" are two numbers,
// so a comment must stand apart from the number before it. Any other byte
// before the digits, a number above INT_MAX, or the end of the bytes anywhere
// (the decoder's read fails) takes no number.
bool pnm_number(const unsigned char* d, size_t size, size_t& pos, uint64_t& value) {
  for (;;) {
    if (pos >= size) return false;
    const unsigned char c = d[pos];
    if (is_digit(c)) break;
    if (c == '#') {
      while (++pos < size && !is_line_break(d[pos])) {
      }
      ++pos;
    } else if (is_space(c)) {
      ++pos;
    } else {
      return false;
    }
  }
  value = 0;
  for (; pos < size && is_digit(d[pos]); ++pos) {
    if (!add_digit(value, d[pos])) return false;
  }
  return pos++ < size;
}

// The PAM decoder's number, from a value as a C string (up to a NUL): an
// optional '-' and decimal digits, nothing after them. Above INT_MAX - 1 the
// decoder fails. An empty value is 0.
bool pam_number(const std::string& text, int64_t& value) {
  const char* p = text.c_str();
  const bool negative = *p == '-';
  if (negative) ++p;
  if (negative && !is_digit(*p)) return false;
  uint64_t magnitude = 0;
  for (; is_digit(*p); ++p) {
    if (!add_digit(magnitude, *p) || magnitude == INT32_MAX) return false;
  }
  if (*p != '\0') return false;
  value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

// One line of the PAM decoder's header from pos: blanks (line breaks too)
// skipped, then either a comment up to a line break (name left empty), or a
// field name of at most 8 bytes ended by a blank. A name ended by a line break
// has an empty value; otherwise the value follows further blanks (line breaks
// too) and runs to the line break, at most 255 bytes, less trailing blanks.
// False where the decoder fails the header, and for a name holding a NUL (which
// the decoder would compare as cut short there).
bool pam_line(const unsigned char* d, size_t size, size_t& pos, std::string& name, std::string& value) {
  name.clear();
  value.clear();
  while (pos < size && is_space(d[pos])) ++pos;
  if (pos >= size) return false;
  if (d[pos] == '#') {
    while (pos < size && !is_line_break(d[pos])) ++pos;
    return pos++ < size;
  }
  const size_t name_at = pos;
  while (pos < size && !is_space(d[pos]) && pos - name_at < 8) ++pos;
  if (pos >= size || !is_space(d[pos])) return false;
  name.assign(reinterpret_cast<const char*>(d + name_at), pos - name_at);
  if (name.find('\0') != std::string::npos) return false;
  if (is_line_break(d[pos++])) return true;
  while (pos < size && is_space(d[pos])) ++pos;
  const size_t value_at = pos;
  for (; pos < size && !is_line_break(d[pos]); ++pos) {
    if (pos - value_at == 255) return false;
  }
  if (pos >= size) return false;
  value.assign(reinterpret_cast<const char*>(d + value_at), pos++ - value_at);
  while (!value.empty() && is_space(static_cast<unsigned char>(value.back()))) value.pop_back();
  return true;
}

// The PFM decoder's token from pos: the bytes up to a blank, which it drops,
// or 2048 bytes. A byte above 127 fails the header.
bool pfm_token(const unsigned char* d, size_t size, size_t& pos, std::string& token) {
  token.clear();
  for (int i = 0; i < 2048; ++i) {
    if (pos >= size || d[pos] > 127) return false;
    if (is_space(d[pos++])) break;
    token += static_cast<char>(d[pos - 1]);
  }
  return true;
}

// atoi of a PFM token, which ends at a NUL or any other byte that is no digit:
// "30#x" is 30. Only a count of 1 to INT_MAX is a size; atoi wraps a larger one.
bool pfm_count(const std::string& token, uint64_t& value) {
  const char* p = token.c_str();
  if (*p == '+') ++p;
  value = 0;
  for (; is_digit(*p); ++p) {
    if (!add_digit(value, *p)) return false;
  }
  return value > 0;
}

// scanf's %d for a count: blanks, an optional '+', digits. A negative count is
// no size, nor is one above INT_MAX, which scanf wraps.
bool scan_decimal(const char*& p, uint64_t& value) {
  while (is_space(*p)) ++p;
  if (*p == '+') ++p;
  if (!is_digit(*p)) return false;
  for (value = 0; is_digit(*p); ++p) {
    if (!add_digit(value, *p)) return false;
  }
  return true;
}

}  // namespace

// P1 to P6: width, height and (but for the bitmaps) the largest sample value,
// from the blank after the magic number on.
void read_pnm(const unsigned char* d, size_t size, PictureHeader& h) {
  size_t pos = 2;
  uint64_t width = 0, height = 0, maxval = 1;
  if (!pnm_number(d, size, pos, width) || !pnm_number(d, size, pos, height)) return;
  const char kind = static_cast<char>(d[1]);
  if (kind != '1' && kind != '4' && !pnm_number(d, size, pos, maxval)) return;
  if (width == 0 || height == 0 || maxval == 0 || maxval > 65535) return;
  set_size(h, width, height, (kind == '3' || kind == '6' ? 3 : 1) * (maxval > 255 ? 2 : 1));
}

// P7: a line break after the magic number, then named fields up to ENDHDR, each
// at most once; the decoder fails an unknown name.
void read_pam(const unsigned char* d, size_t size, PictureHeader& h) {
  if (size < 3 || !is_line_break(d[2])) return;
  size_t pos = 3;
  int64_t width = 0, height = 0, depth = 0, maxval = 0;
  int64_t* const fields[] = {&width, &height, &depth, &maxval};
  const char* const names[] = {"WIDTH", "HEIGHT", "DEPTH", "MAXVAL"};
  bool seen[4] = {false, false, false, false};
  std::string name, value;
  for (;;) {
    if (!pam_line(d, size, pos, name, value)) return;
    if (name.empty() || name == "TUPLTYPE") continue;
    if (name == "ENDHDR") break;
    int i = 0;
    while (i < 4 && name != names[i]) ++i;
    if (i == 4 || seen[i] || !pam_number(value, *fields[i])) return;
    seen[i] = true;
  }
  if (!seen[0] || !seen[1] || !seen[2] || !seen[3]) return;
  if (width <= 0 || height <= 0 || depth < 1 || depth > 4 || maxval > 65535) return;
  set_size(h, static_cast<uint64_t>(width), static_cast<uint64_t>(height),
           static_cast<uint64_t>(depth) * (maxval > 255 ? 2 : 1));
}

// PF (colour) or Pf (grey) and a line break, then width, height and scale as
// tokens each ended by one blank: "30  20" has an empty (zero) height. 32-bit
// float samples.
void read_pfm(const unsigned char* d, size_t size, PictureHeader& h) {
  if (size < 3 || d[2] != '\n') return;
  size_t pos = 3;
  std::string width_token, height_token, scale_token;
  uint64_t width = 0, height = 0;
  if (!pfm_token(d, size, pos, width_token) || !pfm_token(d, size, pos, height_token) ||
      !pfm_token(d, size, pos, scale_token) || !pfm_count(width_token, width) || !pfm_count(height_token, height))
    return;
  set_size(h, width, height, d[1] == 'F' ? 12 : 4);
}

// The Radiance reader takes its header through fgets into a 128-byte buffer:
// pieces of at most 127 bytes, each ending at a line break or not. A piece that
// is a bare line break ends the header (one starting with a NUL does not),
// which must have named the format "32-bit_rle_rgbe"; the piece after it must
// read "-Y height +X width" as sscanf reads it.
void read_hdr(const unsigned char* d, size_t size, PictureHeader& h) {
  // Pieces are compared in place: a body of short lines is a hundred million
  // pieces, and copying each one cost seconds.
  static const char kFormat[] = "FORMAT=32-bit_rle_rgbe\n";
  size_t pos = 0, start = 0, length = 0;
  auto next = [&] {
    if (pos >= size) return false;
    start = pos;
    const size_t end = pos + std::min<size_t>(size - pos, 127);
    while (pos < end && d[pos++] != '\n') {
    }
    length = pos - start;
    return true;
  };
  bool format = false;
  for (;;) {
    if (!next()) return;
    if (length == 1 && d[start] == '\n') break;
    format = format || (length == sizeof(kFormat) - 1 && std::memcmp(d + start, kFormat, length) == 0);
  }
  // A size line that runs into the end may be cut short, and no pixels follow.
  if (!format || !next() || (pos >= size && d[pos - 1] != '\n')) return;
  // sscanf reads the piece as a C string, up to a NUL.
  const std::string piece(reinterpret_cast<const char*>(d + start), length);
  const char* p = piece.c_str();
  uint64_t width = 0, height = 0;
  if (std::strncmp(p, "-Y", 2) != 0) return;
  p += 2;
  if (!scan_decimal(p, height)) return;
  while (is_space(*p)) ++p;
  if (std::strncmp(p, "+X", 2) != 0) return;
  p += 2;
  if (!scan_decimal(p, width)) return;
  set_size(h, width, height, 12);
}

}  // namespace image_read
}  // namespace detail
}  // namespace norvane
