// Compressed mask strings through rleFrString and back through rleToString, with
// merge, area, box and overlap on what was parsed. The parsed counts need not add
// up to h·w: every function must stay inside its buffers for such records too.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "norvane/maskApi.h"

namespace {

struct Owned {
  RLE r{0, 0, 0, nullptr};
  ~Owned() { rleFree(&r); }
};

void check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_rle_string: %s\n", what);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  // Small sizes: decoding writes h·w bytes.
  const siz h = data[0] % 64, w = data[1] % 64;
  const size_t split = data[2] % (size - 2);  // bytes of the first string, at most size - 3
  std::string first(reinterpret_cast<const char*>(data + 3), split);
  std::string second(reinterpret_cast<const char*>(data + 3 + split), size - 3 - split);
  // rleFrString reads up to the terminator; bytes after an embedded zero are not seen.
  first = first.c_str();
  second = second.c_str();

  Owned a, b, back;
  rleFrString(&a.r, &first[0], h, w);
  rleFrString(&b.r, &second[0], h, w);

  // The string of the parsed counts parses to the same counts.
  char* text = rleToString(&a.r);
  rleFrString(&back.r, text, h, w);
  check(back.r.m == a.r.m, "round trip changed the number of counts");
  check(a.r.m == 0 || std::memcmp(back.r.cnts, a.r.cnts, a.r.m * sizeof(uint)) == 0, "round trip changed a count");
  std::free(text);

  RLE both[2] = {a.r, b.r};
  Owned uni, inter;
  rleMerge(both, &uni.r, 2, 0);
  rleMerge(both, &inter.r, 2, 1);
  uint areas[4];
  rleArea(both, 2, areas);
  rleArea(&uni.r, 1, areas + 2);
  rleArea(&inter.r, 1, areas + 3);
  double boxes[8];
  rleToBbox(both, boxes, 2);
  double iou[4];
  byte crowd[2] = {0, 1};
  rleIou(both, both, 2, 2, crowd, iou);
  uint keep[2];
  rleNms(both, 2, keep, 0.5);

  std::vector<byte> pixels(h * w * 2 + 1);
  rleDecode(both, pixels.data(), 2);
  return 0;
}
