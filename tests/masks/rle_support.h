#pragma once

// Owning wrapper and pixel-level references for the run-length codec tests.

#include <string>
#include <vector>

#include "norvane/maskApi.h"

namespace mask_test {

struct Rle {
  RLE r{0, 0, 0, nullptr};
  Rle() = default;
  Rle(siz h, siz w, std::vector<uint> cnts) { rleInit(&r, h, w, cnts.size(), cnts.data()); }
  Rle(Rle&& o) noexcept : r(o.r) { o.r.cnts = nullptr; }
  Rle& operator=(const Rle&) = delete;
  ~Rle() { rleFree(&r); }
  std::vector<uint> counts() const { return std::vector<uint>(r.cnts, r.cnts + r.m); }
};

// Column-major 0/1 pixels of a record.
inline std::vector<byte> decode(const RLE& r) {
  std::vector<byte> m(r.h * r.w);
  rleDecode(&r, m.data(), 1);
  return m;
}

inline std::string to_string(const RLE& r) {
  char* s = rleToString(&r);
  std::string out(s);
  free(s);
  return out;
}

}  // namespace mask_test
