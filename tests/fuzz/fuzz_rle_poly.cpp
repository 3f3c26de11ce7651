// Polygons through rleFrPoly (and boxes through rleFrBbox), coordinates bounded
// to a few thousand pixels; the record must describe exactly h·w pixels.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "norvane/maskApi.h"

namespace {

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_rle_poly: %s\n", what);
    std::abort();
  }
}

// A coordinate in [-1000, 3000) from 16 bits, with a fraction.
double coordinate(const uint8_t* p) {
  const uint16_t v = static_cast<uint16_t>(p[0] | (p[1] << 8));
  return -1000.0 + v * (4000.0 / 65536.0);
}

void check_record(const RLE& r, siz h, siz w) {
  uint64_t total = 0;
  for (siz j = 0; j < r.m; j++) total += r.cnts[j];
  check(total == static_cast<uint64_t>(h) * w, "counts do not add up to h*w");
  uint area = 0;
  rleArea(&r, 1, &area);
  check(area <= h * w, "area larger than the mask");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const siz h = 1 + (data[0] | (data[1] << 8)) % 2048;
  const siz w = 1 + (data[2] | (data[3] << 8)) % 2048;
  data += 4;
  size -= 4;
  const siz k = std::min<size_t>(size / 4, 256);
  std::vector<double> xy(2 * k);
  for (siz i = 0; i < 2 * k; i++) xy[i] = coordinate(data + 2 * i);

  RLE r;
  rleFrPoly(&r, xy.data(), k, h, w);
  check_record(r, h, w);
  rleFree(&r);

  if (k >= 2) {
    double box[4] = {xy[0], xy[1], std::abs(xy[2]) / 2, std::abs(xy[3]) / 2};
    rleFrBbox(&r, box, h, w, 1);
    check_record(r, h, w);
    rleFree(&r);
  }
  return 0;
}
