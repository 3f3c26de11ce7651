// The codec against plain pixel arithmetic over many random masks: sizes from 0×0
// up, runs from single pixels to several 32-byte blocks, so the word-at-a-time
// scanning meets every alignment.

#include <algorithm>
#include <random>

#include <gtest/gtest.h>

#include "masks/rle_support.h"

using mask_test::decode;
using mask_test::Rle;
using mask_test::to_string;

namespace {

struct Mask {
  siz h, w;
  std::vector<byte> px;  // column-major
};

std::vector<Mask> random_masks(unsigned seed, int count) {
  std::mt19937 gen(seed);
  std::vector<Mask> out = {{0, 0, {}}, {1, 1, {0}}, {1, 1, {1}}, {0, 5, {}}, {3, 0, {}}};
  const int mean_runs[] = {1, 3, 9, 40, 300};
  while (static_cast<int>(out.size()) < count) {
    const siz h = gen() % 40, w = gen() % 40;
    std::geometric_distribution<int> run(1.0 / mean_runs[gen() % 5]);
    Mask m{h, w, std::vector<byte>(h * w)};
    byte v = gen() % 2;
    for (siz i = 0; i < m.px.size();) {
      siz n = std::min<siz>(run(gen) + 1, m.px.size() - i);
      std::fill(m.px.begin() + i, m.px.begin() + i + n, v);
      i += n;
      v = !v;
    }
    out.push_back(m);
  }
  return out;
}

Rle encode(const Mask& m) {
  Rle r;
  rleEncode(&r.r, m.px.data(), m.h, m.w, 1);
  return r;
}

uint pixel_area(const Mask& m) { return std::count(m.px.begin(), m.px.end(), 1); }

// Pixel bounding box (x, y, width, height), zeros for an empty mask.
std::vector<double> pixel_box(const Mask& m) {
  siz x0 = m.w, y0 = m.h, x1 = 0, y1 = 0;
  bool any = false;
  for (siz x = 0; x < m.w; x++)
    for (siz y = 0; y < m.h; y++)
      if (m.px[x * m.h + y]) {
        any = true;
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
      }
  if (!any) return {0, 0, 0, 0};
  return {double(x0), double(y0), double(x1 - x0 + 1), double(y1 - y0 + 1)};
}

class MaskCodecProperty : public ::testing::Test {
 protected:
  std::vector<Mask> masks = random_masks(20240607, 400);
};

}  // namespace

TEST_F(MaskCodecProperty, EncodeDecodeAndStringRoundTrip) {
  for (const Mask& m : masks) {
    Rle r = encode(m);
    ASSERT_EQ(decode(r.r), m.px) << m.h << "x" << m.w;
    for (siz j = 1; j < r.r.m; j++) ASSERT_GT(r.r.cnts[j], 0u);  // no empty run but the first
    std::string s = to_string(r.r);
    Rle back;
    rleFrString(&back.r, &s[0], m.h, m.w);
    ASSERT_EQ(back.counts(), r.counts()) << s;
  }
  // Several masks of one size lie back to back: the mask, its inverse, the mask again.
  for (const Mask& m : masks) {
    std::vector<byte> three = m.px;
    for (byte b : m.px) three.push_back(!b);
    three.insert(three.end(), m.px.begin(), m.px.end());
    RLE* rs;
    rlesInit(&rs, 3);
    rleEncode(rs, three.data(), m.h, m.w, 3);
    std::vector<byte> back(three.size());
    rleDecode(rs, back.data(), 3);
    rlesFree(&rs, 3);
    ASSERT_EQ(back, three);
  }
}

TEST_F(MaskCodecProperty, AreaBoxAndMergeMatchPixels) {
  for (size_t i = 5; i + 2 < masks.size(); i += 3) {
    const Mask& a = masks[i];
    Rle ra = encode(a);
    uint area;
    rleArea(&ra.r, 1, &area);
    EXPECT_EQ(area, pixel_area(a));
    double box[4];
    rleToBbox(&ra.r, box, 1);
    EXPECT_EQ(std::vector<double>(box, box + 4), pixel_box(a));

    // Three masks of a's size, made from the other random masks' pixels.
    std::vector<Mask> group = {a, a, a};
    for (int g = 1; g < 3; g++)
      for (siz p = 0; p < a.px.size(); p++) group[g].px[p] = masks[i + g].px.size() > p ? masks[i + g].px[p] : 1;
    Rle rs[3];
    RLE plain[3];
    for (int g = 0; g < 3; g++) {
      rleEncode(&rs[g].r, group[g].px.data(), a.h, a.w, 1);
      plain[g] = rs[g].r;
    }
    for (int intersect = 0; intersect < 2; intersect++) {
      std::vector<byte> want(a.px.size());
      for (siz p = 0; p < want.size(); p++)
        want[p] = intersect ? group[0].px[p] & group[1].px[p] & group[2].px[p]
                            : group[0].px[p] | group[1].px[p] | group[2].px[p];
      Rle merged;
      rleMerge(plain, &merged.r, 3, intersect);
      ASSERT_EQ(merged.r.h, a.h);
      ASSERT_EQ(decode(merged.r), want) << "intersect " << intersect;
    }
  }
}

TEST_F(MaskCodecProperty, IouMatchesPixels) {
  // Pairs of one size: each mask against the next masks that share its size.
  for (size_t i = 0; i < masks.size(); i++) {
    for (size_t j = i + 1; j < masks.size(); j++) {
      const Mask &d = masks[i], &g = masks[j];
      if (d.h != g.h || d.w != g.w) continue;
      uint inter = 0, uni = 0;
      for (siz p = 0; p < d.px.size(); p++) inter += d.px[p] & g.px[p], uni += d.px[p] | g.px[p];
      Rle rd = encode(d), rg = encode(g);
      for (byte crowd = 0; crowd < 2; crowd++) {
        double o;
        rleIou(&rd.r, &rg.r, 1, 1, &crowd, &o);
        const double want = inter == 0 ? 0.0 : double(inter) / (crowd ? pixel_area(d) : uni);
        EXPECT_DOUBLE_EQ(o, want) << i << " " << j << " crowd " << int(crowd);
      }
    }
  }
}
