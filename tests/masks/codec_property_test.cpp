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
      // The very counts the encoding gives: no empty run but a leading one.
      if (!want.empty()) {
        EXPECT_EQ(merged.counts(), encode({a.h, a.w, want}).counts()) << "intersect " << intersect;
      }
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
  // One call over every mask of a size gives each pair what a call for that pair gives.
  for (siz h = 1; h < 40; h += 7) {
    std::vector<Rle> owned;
    std::vector<RLE> group;
    for (const Mask& m : masks)
      if (m.h == h && m.w > 0) owned.push_back(encode(m));
    for (const Rle& r : owned)
      if (r.r.w == owned.front().r.w) group.push_back(r.r);
    const siz n = group.size();
    if (n < 2) continue;
    std::vector<byte> crowd(n);
    for (siz g = 0; g < n; g++) crowd[g] = g % 2;
    std::vector<double> all(n * n);
    rleIou(group.data(), group.data(), n, n, crowd.data(), all.data());
    for (siz g = 0; g < n; g++)
      for (siz d = 0; d < n; d++) {
        double o;
        rleIou(&group[d], &group[g], 1, 1, &crowd[g], &o);
        EXPECT_EQ(all[g * n + d], o) << h << ": " << d << ", " << g;
      }
    // Suppression over the set keeps what the greedy rule over pair overlaps keeps.
    for (double thr : {0.1, 0.3, 0.6}) {
      std::vector<uint> keep(n), want(n, 1);
      rleNms(group.data(), n, keep.data(), thr);
      for (siz i = 0; i < n; i++)
        for (siz j = i + 1; j < n && want[i]; j++) {
          double o;
          rleIou(&group[i], &group[j], 1, 1, nullptr, &o);
          if (want[j] && o > thr) want[j] = 0;
        }
      EXPECT_EQ(keep, want) << h << " at " << thr;
    }
  }
}

namespace {

// rleFrPoly as the algorithm reads: every traced point of every edge, then one
// pixel per column crossing, sorted. Small polygons only (no saturation here).
std::vector<uint> reference_poly(const std::vector<double>& xy, siz h, siz w) {
  const siz k = xy.size() / 2;
  std::vector<int> x(k + 1), y(k + 1), u, v;
  for (siz j = 0; j < k; j++) {
    x[j] = static_cast<int>(5 * xy[2 * j] + .5);
    y[j] = static_cast<int>(5 * xy[2 * j + 1] + .5);
  }
  x[k] = x[0];
  y[k] = y[0];
  for (siz j = 0; j < k; j++) {
    int xs = x[j], xe = x[j + 1], ys = y[j], ye = y[j + 1];
    const int dx = std::abs(xe - xs), dy = std::abs(ys - ye);
    const bool flip = (dx >= dy && xs > xe) || (dx < dy && ys > ye);
    if (flip) std::swap(xs, xe), std::swap(ys, ye);
    if (dx >= dy) {
      const double s = dx == 0 ? 0 : double(ye - ys) / dx;
      for (int d = 0; d <= dx; d++) {
        const int t = flip ? dx - d : d;
        u.push_back(xs + t), v.push_back(static_cast<int>(ys + s * t + .5));
      }
    } else {
      const double s = double(xe - xs) / dy;
      for (int d = 0; d <= dy; d++) {
        const int t = flip ? dy - d : d;
        v.push_back(ys + t), u.push_back(static_cast<int>(xs + s * t + .5));
      }
    }
  }
  std::vector<uint> a;
  for (size_t j = 1; j < u.size(); j++) {
    if (u[j] == u[j - 1]) continue;
    double xd = u[j] < u[j - 1] ? u[j] : u[j] - 1;
    xd = (xd + .5) / 5 - .5;
    if (std::floor(xd) != xd || xd < 0 || xd > double(w) - 1) continue;
    double yd = std::min(v[j], v[j - 1]);
    yd = std::ceil(std::min(std::max((yd + .5) / 5 - .5, 0.0), double(h)));
    a.push_back(static_cast<uint>(xd * h + yd));
  }
  a.push_back(static_cast<uint>(h * w));
  std::sort(a.begin(), a.end());
  for (size_t j = a.size() - 1; j > 0; j--) a[j] -= a[j - 1];
  std::vector<uint> b = {a[0]};
  for (size_t j = 1; j < a.size(); j++) {
    if (a[j] > 0) {
      b.push_back(a[j]);
    } else if (++j < a.size()) {
      b.back() += a[j];
    }
  }
  return b;
}

}  // namespace

// The rasteriser yields each edge's crossings without tracing every point and sorts
// long lists by radix: the counts must be those of the plain algorithm, also for
// vertices off the picture (negative ones included), repeated vertices and long edges.
TEST(MaskCodecPolygon, MatchesThePlainAlgorithm) {
  std::mt19937 gen(77);
  for (int trial = 0; trial < 3000; trial++) {
    const siz h = 1 + gen() % 60, w = 1 + gen() % 60;
    const int k = trial < 2000 ? 1 + gen() % 8 : 20 + gen() % 200;  // long lists take the radix sort
    const double reach = trial % 3 == 0 ? 4.0 : 1.2;
    std::uniform_real_distribution<double> px(-0.2 * w * reach, w * reach), py(-0.2 * h * reach, h * reach);
    std::vector<double> xy;
    for (int j = 0; j < k; j++) {
      xy.push_back(trial % 5 == 0 ? std::round(px(gen)) : px(gen));
      xy.push_back(trial % 7 == 0 && j > 0 ? xy[xy.size() - 2] : py(gen));  // vertical edges
      if (trial % 11 == 0 && j > 0) xy[xy.size() - 2] = xy[xy.size() - 4];   // repeated columns
    }
    Rle r;
    rleFrPoly(&r.r, xy.data(), k, h, w);
    ASSERT_EQ(r.counts(), reference_poly(xy, h, w)) << "trial " << trial;
  }
}
