// Known vectors of the run-length codec and the inputs that used to crash or hang it.

#include <cmath>
#include <cstring>
#include <limits>

#include <gtest/gtest.h>

#include "masks/rle_support.h"

using mask_test::decode;
using mask_test::Rle;
using mask_test::to_string;

namespace {

using Counts = std::vector<uint>;

Rle encode(const std::vector<byte>& m, siz h, siz w) {
  Rle r;
  rleEncode(&r.r, m.data(), h, w, 1);
  return r;
}

Rle from_string(const std::string& s, siz h, siz w) {
  std::vector<char> buf(s.begin(), s.end());  // exact size, so a read past the end shows
  buf.push_back(0);
  Rle r;
  rleFrString(&r.r, buf.data(), h, w);
  return r;
}

Rle from_bbox(std::vector<double> box, siz h, siz w) {
  Rle r;
  rleFrBbox(&r.r, box.data(), h, w, 1);
  return r;
}

}  // namespace

TEST(MaskCodec, EncodesColumnMajorRuns) {
  EXPECT_EQ(encode(std::vector<byte>(6, 0), 2, 3).counts(), Counts({6}));
  EXPECT_EQ(encode(std::vector<byte>(6, 1), 2, 3).counts(), Counts({0, 6}));
  EXPECT_EQ(encode({}, 0, 0).counts(), Counts({0}));
  // Rows (0,1,1), (0,1,0), (0,0,0), given column by column.
  Rle r = encode({0, 0, 0, 1, 1, 0, 1, 0, 0}, 3, 3);
  EXPECT_EQ(r.counts(), Counts({3, 2, 1, 1, 2}));
  EXPECT_EQ(to_string(r.r), "321O1");
}

TEST(MaskCodec, StringFormMatchesKnownVectors) {
  const std::vector<std::pair<Counts, std::string>> vectors = {
      {{5, 10, 2, 3}, "5:2I"}, {{20}, "d0"}, {{3, 2, 1, 1, 2}, "321O1"}};
  for (const auto& v : vectors) {
    Rle r(1, 40, v.first);
    EXPECT_EQ(to_string(r.r), v.second);
    EXPECT_EQ(from_string(v.second, 1, 40).counts(), v.first);
  }
  // Every difference around the edges of one and two characters, against the
  // format written out group by group.
  auto plain = [](int64_t x) {
    std::string out;
    for (bool more = true; more;) {
      int c = static_cast<int>(x & 0x1f);
      x >>= 5;
      more = (c & 0x10) ? x != -1 : x != 0;
      out += static_cast<char>(c + 48 + (more ? 0x20 : 0));
    }
    return out;
  };
  Counts walk = {1000000, 1000000};
  for (int64_t d = -600; d <= 600; d++) walk.push_back(static_cast<uint>(walk[walk.size() - 2] + d));
  std::string expected;
  for (size_t i = 0; i < walk.size(); i++)
    expected += plain(i < 3 ? int64_t{walk[i]} : int64_t{walk[i]} - walk[i - 2]);
  Rle steps(1, 40, walk);
  EXPECT_EQ(to_string(steps.r), expected);
  EXPECT_EQ(from_string(expected, 1, 40).counts(), walk);
  Rle none(0, 0, {});
  EXPECT_EQ(to_string(none.r), "");
  Rle empty = from_string("", 4, 4);
  EXPECT_EQ(empty.r.m, 0u);
  EXPECT_EQ(empty.r.cnts, nullptr);
  EXPECT_EQ(empty.r.h, 4u);
}

TEST(MaskCodec, StringFormCarriesFullWidthDifferences) {
  // 2^24 needs six characters, 2^29 and the extreme differences seven: the buffer
  // must hold them and the terminator.
  const uint big = std::numeric_limits<uint>::max();
  const std::vector<Counts> cases = {
      {1u << 24}, {1u << 29}, {0, big, 0, 0, big, 1u << 31, 7}, {big, 0, 0, big, 0, big}};
  for (const auto& c : cases) {
    Rle r(1, 1, c);
    std::string s = to_string(r.r);
    EXPECT_LE(s.size(), 7 * c.size());
    EXPECT_EQ(from_string(s, 1, 1).counts(), c) << s;
  }
  EXPECT_EQ(to_string(Rle(1, 1, {1u << 29}).r).size(), 7u);
}

TEST(MaskCodec, StringReaderStaysInsideMalformedInput) {
  // A trailing continuation character ends at the terminator with the groups read so far.
  Rle cut = from_string("5:2IP", 1, 40);
  ASSERT_EQ(cut.r.m, 5u);
  EXPECT_EQ(Counts(cut.r.cnts, cut.r.cnts + 4), Counts({5, 10, 2, 3}));
  // More groups than 64 bits hold, the last one with its sign bit set.
  Rle long_value = from_string(std::string(14, 'o') + "@0", 1, 1);
  EXPECT_EQ(long_value.counts(), Counts({std::numeric_limits<uint>::max(), 0}));
}

TEST(MaskCodec, BoxesRasteriseToPixelRectangles) {
  EXPECT_EQ(from_bbox({0, 0, 2, 2}, 4, 4).counts(), Counts({0, 2, 2, 2, 10}));
  EXPECT_EQ(from_bbox({1, 1, 2, 2}, 4, 4).counts(), Counts({5, 2, 2, 2, 5}));
  // Any whole box inside the image covers exactly its pixels.
  const siz h = 7, w = 9;
  for (int x = 0; x < 9; x += 2)
    for (int y = 0; y < 7; y += 3)
      for (int bw = 1; x + bw <= 9; bw += 3)
        for (int bh = 1; y + bh <= 7; bh += 2) {
          std::vector<byte> want(h * w, 0);
          for (int c = x; c < x + bw; c++)
            for (int r = y; r < y + bh; r++) want[c * h + r] = 1;
          EXPECT_EQ(decode(from_bbox({double(x), double(y), double(bw), double(bh)}, h, w).r), want)
              << x << "," << y << "," << bw << "," << bh;
        }
}

TEST(MaskCodec, PolygonDegenerateInputs) {
  const std::vector<double> square = {1, 1, 1, 4, 4, 4, 4, 1};
  const std::vector<double> repeated = {1, 1, 1, 4, 1, 4, 4, 4, 4, 1, 4, 1};
  Rle a, b;
  rleFrPoly(&a.r, square.data(), 4, 6, 6);
  rleFrPoly(&b.r, repeated.data(), 6, 6, 6);  // a repeated vertex has a 0/0 slope
  EXPECT_EQ(a.counts(), b.counts());
  Rle narrow;
  rleFrPoly(&narrow.r, square.data(), 4, 5, 0);  // no column lies in a 0-wide image
  EXPECT_EQ(narrow.counts(), Counts({0}));
}

TEST(MaskCodec, BoxOfRunSpanningColumnsHasFullHeight) {
  // 4 rows: ones from row 2 of column 0 to row 1 of column 1.
  Rle r(4, 3, {2, 4, 6});
  double box[4];
  rleToBbox(&r.r, box, 1);
  EXPECT_EQ(std::vector<double>(box, box + 4), std::vector<double>({0, 0, 2, 4}));
  Rle flat(0, 3, {0, 2});  // h = 0 holds no pixel; no division by it
  rleToBbox(&flat.r, box, 1);
  EXPECT_EQ(std::vector<double>(box, box + 4), std::vector<double>({0, 0, 0, 0}));
}

TEST(MaskCodec, MergeOfMismatchedOrMissingRecords) {
  Rle none;
  rleMerge(nullptr, &none.r, 0, 0);
  EXPECT_EQ(none.r.h + none.r.w + none.r.m, 0u);

  RLE pair[2] = {{2, 3, 0, nullptr}, {3, 2, 0, nullptr}};
  uint c[] = {6};
  pair[0].cnts = pair[1].cnts = c;
  pair[0].m = pair[1].m = 1;
  Rle mixed;
  rleMerge(pair, &mixed.r, 2, 0);
  EXPECT_EQ(mixed.r.h + mixed.r.w + mixed.r.m, 0u);

  Rle one;
  rleMerge(pair, &one.r, 1, 1);
  EXPECT_EQ(one.counts(), Counts({6}));
  EXPECT_NE(one.r.cnts, c);
}

TEST(MaskCodec, InconsistentRunTotalsEndTheWalk) {
  // Totals 5 and 6 of a 2×3 mask: the short record reads as zeros past its end.
  Rle a(2, 3, {2, 3}), b(2, 3, {0, 2, 4});
  RLE both[2] = {a.r, b.r};
  Rle uni, inter;
  rleMerge(both, &uni.r, 2, 0);
  rleMerge(both, &inter.r, 2, 1);
  EXPECT_EQ(uni.counts(), Counts({0, 5, 1}));
  EXPECT_EQ(inter.counts(), Counts({6}));
  // Boxes overlap, so the run walk runs past the end of the 4-pixel record.
  Rle c(2, 3, {3, 1});
  double o = 0;
  rleIou(&a.r, &c.r, 1, 1, nullptr, &o);
  EXPECT_DOUBLE_EQ(o, 1.0 / 3.0);

  // Many empty runs in a one-pixel mask and a total far beyond h·w.
  Counts zeros(40, 0);
  zeros.push_back(1);
  Rle sparse(1, 1, zeros), full(1, 1, {0, 1}), huge(1, 1, {0, 1000000});
  RLE trio[3] = {sparse.r, full.r, huge.r};
  Rle merged;
  rleMerge(trio, &merged.r, 3, 0);
  EXPECT_EQ(decode(merged.r), std::vector<byte>({1}));
  EXPECT_EQ(decode(huge.r), std::vector<byte>({1}));  // cut at h·w, not written past it
}

TEST(MaskCodec, OverlapOfSizesCrowdsAndTouchingBoxes) {
  Rle a(3, 3, {0, 4, 5}), b(3, 3, {2, 4, 3}), other(3, 4, {0, 4, 8}), far(3, 3, {7, 2});
  RLE dt[1] = {a.r}, gt[3] = {b.r, other.r, far.r};
  double o[3];
  byte crowd[3] = {0, 0, 0};
  rleIou(dt, gt, 1, 3, crowd, o);
  EXPECT_DOUBLE_EQ(o[0], 2.0 / 6.0);
  EXPECT_EQ(o[1], -1.0);
  EXPECT_EQ(o[2], 0.0);
  crowd[0] = 1;
  rleIou(dt, gt, 1, 3, crowd, o);
  EXPECT_DOUBLE_EQ(o[0], 2.0 / 4.0);  // intersection over the detection's area

  double boxes[8] = {0, 0, 2, 2, 2, 0, 2, 2};
  bbIou(boxes, boxes + 4, 1, 1, nullptr, o);
  EXPECT_EQ(o[0], 0.0);
}

TEST(MaskCodec, NonFiniteBoxesDoNotOverlap) {
  const double nan = std::nan(""), inf = std::numeric_limits<double>::infinity();
  const std::vector<std::vector<double>> odd = {
      {nan, 0, 2, 2}, {0, 0, nan, 2}, {0, 0, inf, inf}, {-inf, -inf, inf, inf}};
  for (const auto& box : odd) {
    std::vector<double> boxes = box;
    boxes.insert(boxes.end(), {0, 0, inf, inf});
    double o = -1;
    bbIou(boxes.data(), boxes.data() + 4, 1, 1, nullptr, &o);
    EXPECT_EQ(o, 0.0);
    uint keep[2];
    bbNms(boxes.data(), 2, keep, 0.5);
    EXPECT_EQ(keep[1], 1u);
  }
}

TEST(MaskCodec, SuppressionKeepsOverlapAtThreshold) {
  double boxes[8] = {0, 0, 2, 1, 0, 0, 1, 1};  // overlap exactly 0.5
  uint keep[2];
  bbNms(boxes, 2, keep, 0.5);
  EXPECT_EQ(keep[1], 1u);
  bbNms(boxes, 2, keep, 0.49);
  EXPECT_EQ(keep[1], 0u);

  Rle wide(1, 2, {0, 2}), half(1, 2, {0, 1, 1});
  RLE masks[2] = {wide.r, half.r};
  rleNms(masks, 2, keep, 0.5);
  EXPECT_EQ(keep[1], 1u);
  rleNms(masks, 2, keep, 0.49);
  EXPECT_EQ(keep[1], 0u);
}
