// Run-length codec for binary masks (see include/norvane/maskApi.h for the record layout).
//
// Walks are bounded by the counts they read, never by h·w, so a record whose runs
// disagree with its size cannot make a walk loop forever or write past a buffer.
// Merges and overlaps check each record once (regular()) and then walk regular
// records over their runs with no check per run; other records take the general
// walk.

#include "norvane/maskApi.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

constexpr double kPolyScale = 5.0;  // rleFrPoly traces the boundary at 5× resolution
// A count difference spans 33 signed bits: seven 5-bit groups.
constexpr siz kMaxCharsPerCount = 7;
// rleIou of a set against itself reuses intersections up to this many records.
constexpr siz kMaxMirrored = 2048;

// First byte in [p, end) that differs from v, or end.
const byte* skip_run(const byte* p, const byte* end, byte v) {
  const uint64_t pattern = 0x0101010101010101ULL * v;
  // Long runs: 64 bytes per test, a loop the compiler turns into vector compares.
  while (end - p >= 64) {
    uint64_t words[8], diff = 0;
    std::memcpy(words, p, 64);
    for (uint64_t word : words) diff |= word ^ pattern;
    if (diff != 0) break;
    p += 64;
  }
  while (end - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    x ^= pattern;
    if (x != 0) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
      return p + (__builtin_clzll(x) >> 3);
#else
      return p + (__builtin_ctzll(x) >> 3);
#endif
    }
    p += 8;
  }
  while (p < end && *p == v) ++p;
  return p;
}

// One side of a two-list walk (merge, overlap). A list that has run out while the
// other still has pixels reads as zeros for the rest, so inconsistent totals end the
// walk instead of stalling it at a zero-length step.
struct RunCursor {
  const uint* cnts;
  siz m;
  siz next;   // index of the count to load when the current run is used up
  uint left;  // pixels left in the current run
  int v;      // value of the current run

  explicit RunCursor(const RLE& r)
      : cnts(r.cnts), m(r.m), next(r.m > 0 ? 1 : 0), left(r.m > 0 ? r.cnts[0] : 0), v(0) {}
  bool exhausted() const { return left == 0 && next >= m; }
  // c never exceeds left (common_step picks it so), except on a run-out list.
  void consume(uint c) {
    if (exhausted()) {
      v = 0;
      return;
    }
    left -= c;
    if (left == 0) {
      if (next < m) {
        left = cnts[next++];
        v = !v;
      } else {
        v = 0;
      }
    }
  }
};

// Length of the next common stretch of two cursors; a run-out list takes the other's run.
uint common_step(const RunCursor& a, const RunCursor& b) {
  if (a.exhausted()) return b.left;
  if (b.exhausted()) return a.left;
  return std::min(a.left, b.left);
}

// Intersection and union (in pixels) of two records of one size.
void overlap_counts(const RLE& a, const RLE& b, uint* inter, uint* uni) {
  RunCursor ca(a), cb(b);
  uint i = 0, u = 0;
  for (;;) {
    uint c = common_step(ca, cb);
    if (ca.v || cb.v) {
      u += c;
      if (ca.v && cb.v) i += c;
    }
    ca.consume(c);
    cb.consume(c);
    if (ca.left == 0 && cb.left == 0) break;
  }
  *inter = i;
  *uni = u;
}

// Truncation toward zero that saturates instead of overflowing; NaN gives 0.
int64_t trunc_to_i64(double x) {
  if (!(x == x)) return 0;
  if (x >= 9.2e18) return INT64_C(9200000000000000000);
  if (x <= -9.2e18) return -INT64_C(9200000000000000000);
  return static_cast<int64_t>(x);
}

int clamp_to_int(int64_t x) {
  return static_cast<int>(std::max<int64_t>(std::numeric_limits<int>::min(),
                                            std::min<int64_t>(std::numeric_limits<int>::max(), x)));
}

// Greedy suppression in input order: entry i, while kept, clears every later kept
// entry j whose overlap(i, j) is strictly above thr.
template <typename Overlap>
void greedy_suppress(siz n, uint* keep, double thr, Overlap overlap) {
  for (siz i = 0; i < n; i++) keep[i] = 1;
  for (siz i = 0; i < n; i++) {
    if (!keep[i]) continue;
    for (siz j = i + 1; j < n; j++) {
      if (keep[j] && overlap(i, j) > thr) keep[j] = 0;
    }
  }
}

// Integer division by 5 rounded down and up, for either sign.
inline int64_t floor_div5(int64_t n) { return n >= 0 ? n / 5 : -((-n + 4) / 5); }
inline int64_t ceil_div5(int64_t n) { return n >= 0 ? (n + 4) / 5 : -(-n / 5); }

// True for a record as rleEncode makes it: h·w below 2^32 (32-bit counts), counts
// that add up to h·w, none zero but the first. The fast walks below rely on this,
// so it is checked once per record; anything else takes the general walks.
bool regular(const RLE& r) {
  if (r.m == 0 || r.cnts == nullptr || r.h > UINT32_MAX || r.w > UINT32_MAX) return false;
  const uint64_t area = static_cast<uint64_t>(r.h) * r.w;
  if (area == 0 || area > UINT32_MAX) return false;
  uint64_t total = r.cnts[0];
  uint nonzero = ~0u;
  for (siz j = 1; j < r.m; j++) {
    total += r.cnts[j];
    nonzero &= r.cnts[j] != 0 ? ~0u : 0u;  // no early exit: the loop vectorises
  }
  return nonzero != 0 && total == area;
}

// The ones runs of a regular record as boundaries, run k covering [b[2k], b[2k + 1]);
// false (b undefined) for a record that is not regular. One pass for both.
bool regular_bounds(const RLE& r, std::vector<uint>& b) {
  if (r.m == 0 || r.cnts == nullptr || r.h > UINT32_MAX || r.w > UINT32_MAX) return false;
  const uint64_t area = static_cast<uint64_t>(r.h) * r.w;
  if (area == 0 || area > UINT32_MAX) return false;
  b.resize(r.m);
  uint64_t p = r.cnts[0];
  uint nonzero = ~0u;
  b[0] = static_cast<uint>(p);
  for (siz j = 1; j < r.m; j++) {
    nonzero &= r.cnts[j] != 0 ? ~0u : 0u;
    b[j] = static_cast<uint>(p += r.cnts[j]);
  }
  if (nonzero == 0 || p != area) return false;
  if (r.m % 2) b.pop_back();
  return true;
}

// Pixels set in both of two boundary lists inside [lo, hi); outside it at least one
// of the two masks is known to be empty.
uint64_t intersection_in(const std::vector<uint>& a, const std::vector<uint>& b, uint64_t lo, uint64_t hi) {
  // First run of each list that ends after lo.
  size_t i = (std::upper_bound(a.begin(), a.end(), lo) - a.begin()) / 2;
  size_t j = (std::upper_bound(b.begin(), b.end(), lo) - b.begin()) / 2;
  const size_t na = a.size() / 2, nb = b.size() / 2;
  uint64_t inter = 0;
  while (i < na && j < nb) {
    const uint as = a[2 * i], ae = a[2 * i + 1], bs = b[2 * j], be = b[2 * j + 1];
    if (std::max(as, bs) >= hi) break;
    const uint s = std::max(as, bs), e = std::min(ae, be);
    if (s < e) inter += e - s;
    if (ae < be) {
      i++;
    } else {
      j++;
    }
  }
  return inter;
}

// Runs of one value as boundaries, run k covering [b[2k], b[2k + 1]), in a buffer
// that is reused without being cleared: merges fill it pair by pair.
struct BoundList {
  std::unique_ptr<uint[]> b;
  size_t size = 0, cap = 0;
  uint* room(size_t n) {
    if (n > cap) {
      b.reset(new uint[n]);
      cap = n;
    }
    return b.get();
  }
};

// a ∩ the ones runs (ones = true) or the zeros runs of a regular record, read from
// its counts as they come. Which of two runs ends first is as good as random, so
// keeping a pair is written without a branch: it is always stored and counted only
// when it is not empty (a record's first run of zeros may be).
void intersect_with_counts(const BoundList& a, const RLE& r, bool ones, BoundList& out) {
  const uint* c = r.cnts;
  const siz m = r.m;
  // Every step uses up a run of one of the two: at most one pair per run of either.
  uint* dst = out.room(a.size + m + 2);
  size_t k = 0;
  const uint* pa = a.b.get();
  const uint* const ea = pa + a.size;
  siz j = ones ? 1 : 0;  // the record's current run: it is c[j] long
  if (j < m) {
    uint bs = ones ? c[0] : 0, be = bs + c[j];
    while (pa < ea) {
      const uint ae = pa[1];
      const uint s = std::max(pa[0], bs), e = std::min(ae, be);
      dst[k] = s, dst[k + 1] = e;
      k += s < e ? 2 : 0;
      if (ae < be) {
        pa += 2;
      } else {
        if (j + 2 >= m) break;
        bs = be + c[j + 1];
        be = bs + c[j + 2];
        j += 2;
      }
    }
  }
  out.size = k;
}

// The record of h·w pixels whose ones runs are the boundary list: the encoding
// rleEncode gives (a leading run of zeros, maybe empty, then runs that are not).
void init_from_bounds(RLE* R, siz h, siz w, const BoundList& list) {
  const uint total = static_cast<uint>(h * w);
  const uint* b = list.b.get();
  const bool tail = list.size == 0 || b[list.size - 1] < total;
  const siz m = list.size + (tail ? 1 : 0);
  rleInit(R, h, w, m, nullptr);
  uint prev = 0;
  for (size_t k = 0; k < list.size; k++) {
    R->cnts[k] = b[k] - prev;
    prev = b[k];
  }
  if (tail) R->cnts[m - 1] = total - prev;
}

// The record of h·w pixels whose zeros runs are the boundary list.
void init_from_gaps(RLE* R, siz h, siz w, const BoundList& list) {
  const uint total = static_cast<uint>(h * w);
  const uint* g = list.b.get();
  const size_t k = list.size;
  // Every end of a gap is a change of value but a start at 0 and an end at h·w.
  const size_t first = k > 0 && g[0] == 0 ? 1 : 0;
  const size_t last = k > 0 && g[k - 1] == total ? k - 1 : k;
  const bool ones_first = first == 0;  // then the record opens with an empty run of zeros
  rleInit(R, h, w, (ones_first ? 1 : 0) + (last - first) + 1, nullptr);
  uint* c = R->cnts;
  if (ones_first) *c++ = 0;
  uint prev = 0;
  for (size_t t = first; t < last; t++) {
    *c++ = g[t] - prev;
    prev = g[t];
  }
  *c = total - prev;
}

// x = t / h and y = t mod h for 32-bit t through a double reciprocal, corrected to
// the exact quotient: a division per count is what bounds rleToBbox otherwise.
struct Divider {
  uint h;
  double inverse;
  explicit Divider(uint d) : h(d), inverse(1.0 / d) {}
  void split(uint t, uint* x, uint* y) const {
    int64_t q = static_cast<int64_t>(static_cast<double>(t) * inverse);
    int64_t r = static_cast<int64_t>(t) - q * h;
    if (r < 0) {
      q--;
      r += h;
    } else if (r >= static_cast<int64_t>(h)) {
      q++;
      r -= h;
    }
    *x = static_cast<uint>(q);
    *y = static_cast<uint>(r);
  }
};

// Sorts 32-bit values. rleFrPoly's crossings come as one ascending run per edge
// (and more often than not in a few long runs): few runs are merged; many runs of a
// long list go through radix passes of 11 bits, short lists through std::sort.
void sort_uints(std::vector<uint>& a) {
  std::vector<size_t> starts = {0};
  for (size_t i = 1; i < a.size(); i++)
    if (a[i] < a[i - 1]) starts.push_back(i);
  if (starts.size() == 1) return;
  std::vector<uint> tmp(a.size());
  if (starts.size() <= 16) {
    starts.push_back(a.size());
    while (starts.size() > 2) {
      std::vector<size_t> merged = {0};
      size_t r = 0;
      for (; r + 2 < starts.size(); r += 2) {
        std::merge(a.begin() + starts[r], a.begin() + starts[r + 1], a.begin() + starts[r + 1],
                   a.begin() + starts[r + 2], tmp.begin() + starts[r]);
        merged.push_back(starts[r + 2]);
      }
      if (r + 1 < starts.size()) {  // an odd run out: copied as it is
        std::copy(a.begin() + starts[r], a.begin() + starts[r + 1], tmp.begin() + starts[r]);
        merged.push_back(starts[r + 1]);
      }
      a.swap(tmp);
      starts.swap(merged);
    }
    return;
  }
  if (a.size() < 512) {
    std::sort(a.begin(), a.end());
    return;
  }
  const uint top = *std::max_element(a.begin(), a.end());
  for (unsigned shift = 0; shift < 32 && (top >> shift) != 0; shift += 11) {
    size_t count[2049] = {0};
    for (uint v : a) count[((v >> shift) & 2047) + 1]++;
    for (size_t d = 1; d < 2049; d++) count[d] += count[d - 1];
    for (uint v : a) tmp[count[(v >> shift) & 2047]++] = v;
    a.swap(tmp);
  }
}

}  // namespace

extern "C" {

uint umin(uint a, uint b) { return a < b ? a : b; }
uint umax(uint a, uint b) { return a > b ? a : b; }

int uintCompare(const void* a, const void* b) {
  uint c = *static_cast<const uint*>(a), d = *static_cast<const uint*>(b);
  return c > d ? 1 : c < d ? -1 : 0;
}

void rleInit(RLE* R, siz h, siz w, siz m, uint* cnts) {
  R->h = h;
  R->w = w;
  R->m = m;
  R->cnts = m == 0 ? nullptr : static_cast<uint*>(std::malloc(sizeof(uint) * m));
  if (cnts && R->cnts) std::memcpy(R->cnts, cnts, sizeof(uint) * m);
}

void rleFree(RLE* R) {
  std::free(R->cnts);
  R->cnts = nullptr;
}

void rlesInit(RLE** R, siz n) {
  *R = static_cast<RLE*>(std::malloc(sizeof(RLE) * n));
  for (siz i = 0; i < n; i++) rleInit((*R) + i, 0, 0, 0, nullptr);
}

void rlesFree(RLE** R, siz n) {
  for (siz i = 0; i < n; i++) rleFree((*R) + i);
  std::free(*R);
  *R = nullptr;
}

void rleEncode(RLE* R, const byte* M, siz h, siz w, siz n) {
  const siz a = h * w;
  std::vector<uint> cnts;
  for (siz i = 0; i < n; i++) {
    const byte* p = M + a * i;
    const byte* end = p + a;
    cnts.clear();
    byte v = 0;
    while (p < end) {
      const byte* q = skip_run(p, end, v);
      cnts.push_back(static_cast<uint>(q - p));
      p = q;
      if (p < end) v = *p;
    }
    // Every run but a leading one of zeros is non-empty; a mask without pixels
    // still has its (empty) run of zeros.
    if (a == 0) cnts.assign(1, 0);
    rleInit(R + i, h, w, cnts.size(), cnts.data());
  }
}

void rleDecode(const RLE* R, byte* M, siz n) {
  for (siz i = 0; i < n; i++) {
    // Each record fills exactly h·w bytes: longer runs are cut, a shortfall stays 0.
    const siz a = R[i].h * R[i].w;
    siz done = 0;
    byte v = 0;
    for (siz j = 0; j < R[i].m && done < a; j++) {
      siz c = std::min<siz>(R[i].cnts[j], a - done);
      std::memset(M + done, v, c);
      done += c;
      v = !v;
    }
    if (done < a) std::memset(M + done, 0, a - done);  // M may be null for 0-pixel masks
    M += a;
  }
}

void rleMerge(const RLE* R, RLE* M, siz n, int intersect) {
  if (n == 0) {
    rleInit(M, 0, 0, 0, nullptr);
    return;
  }
  siz h = R[0].h, w = R[0].w;
  if (n == 1) {
    rleInit(M, h, w, R[0].m, R[0].cnts);
    return;
  }
  // Records of one size as rleEncode makes them: an intersection folds their ones
  // runs, a union their zeros runs (its gaps), both starting from every pixel.
  // Any other record sends the whole merge to the general walk below.
  bool fast = true;
  for (siz i = 0; i < n && fast; i++) fast = R[i].h == h && R[i].w == w && regular(R[i]);
  if (fast) {
    BoundList acc, out;
    uint* all = acc.room(2);
    all[0] = 0, all[1] = static_cast<uint>(h * w);
    acc.size = 2;
    // Nothing left stays nothing: no pixel in an intersection, no gap in a union.
    for (siz i = 0; i < n && acc.size > 0; i++) {
      intersect_with_counts(acc, R[i], intersect != 0, out);
      std::swap(acc, out);
    }
    if (intersect) {
      init_from_bounds(M, h, w, acc);
    } else {
      init_from_gaps(M, h, w, acc);
    }
    return;
  }
  std::vector<uint> acc(R[0].cnts, R[0].cnts + R[0].m), out;
  for (siz i = 1; i < n; i++) {
    const RLE& B = R[i];
    if (B.h != h || B.w != w) {
      h = w = 0;
      acc.clear();
      break;
    }
    RLE A = {h, w, acc.size(), acc.data()};
    RunCursor ca(A), cb(B);
    // Every step uses up a run of at least one list, so out needs at most one
    // count per input count plus the final pending run.
    out.clear();
    out.reserve(A.m + B.m + 1);
    int v = 0;
    uint pending = 0;
    for (;;) {
      uint c = common_step(ca, cb);
      pending += c;
      ca.consume(c);
      cb.consume(c);
      const bool done = ca.left == 0 && cb.left == 0;
      const int vp = v;
      v = intersect ? (ca.v && cb.v) : (ca.v || cb.v);
      if (v != vp || done) {
        out.push_back(pending);
        pending = 0;
      }
      if (done) break;
    }
    acc.swap(out);
  }
  rleInit(M, h, w, acc.size(), acc.data());
}

void rleArea(const RLE* R, siz n, uint* a) {
  for (siz i = 0; i < n; i++) {
    uint s = 0;
    for (siz j = 1; j < R[i].m; j += 2) s += R[i].cnts[j];
    a[i] = s;
  }
}

void bbIou(BB dt, BB gt, siz m, siz n, byte* iscrowd, double* o) {
  for (siz g = 0; g < n; g++) {
    const double* G = gt + g * 4;
    const double ga = G[2] * G[3];
    const bool crowd = iscrowd != nullptr && iscrowd[g];
    for (siz d = 0; d < m; d++) {
      const double* D = dt + d * 4;
      const double da = D[2] * D[3];
      o[g * m + d] = 0;
      // Written as !(x > 0) so that a NaN overlap counts as none.
      double wi = std::fmin(D[2] + D[0], G[2] + G[0]) - std::fmax(D[0], G[0]);
      if (!(wi > 0)) continue;
      double hi = std::fmin(D[3] + D[1], G[3] + G[1]) - std::fmax(D[1], G[1]);
      if (!(hi > 0)) continue;
      const double i = wi * hi;
      const double u = crowd ? da : da + ga - i;
      const double iou = u > 0 ? i / u : 0;
      o[g * m + d] = iou == iou ? iou : 0;
    }
  }
}

void rleIou(RLE* dt, RLE* gt, siz m, siz n, byte* iscrowd, double* o) {
  // Box overlap first: pairs whose boxes are disjoint skip the run walk.
  std::vector<double> db(m * 4), gb(n * 4);
  rleToBbox(dt, db.data(), m);
  rleToBbox(gt, gb.data(), n);
  bbIou(db.data(), gb.data(), m, n, iscrowd, o);
  // Ones runs of the regular records, found once per record rather than per pair.
  std::vector<std::vector<uint>> dbounds(m), gbounds(n);
  std::vector<uint> darea(m), garea(n);
  std::vector<char> dfast(m), gfast(n);
  for (siz d = 0; d < m; d++) {
    dfast[d] = regular_bounds(dt[d], dbounds[d]);
    rleArea(dt + d, 1, &darea[d]);
  }
  for (siz g = 0; g < n; g++) {
    gfast[g] = regular_bounds(gt[g], gbounds[g]);
    rleArea(gt + g, 1, &garea[g]);
  }
  // The records against themselves (suppression, deduplication): the intersection of
  // d and g is that of g and d, so each pair is walked once.
  // Kept to sets whose table of intersections stays small (16 MB).
  const bool self = dt == gt && m == n && m <= kMaxMirrored;
  std::vector<uint> mirrored(self ? m * n : 0);
  for (siz g = 0; g < n; g++) {
    const bool crowd = iscrowd != nullptr && iscrowd[g];
    for (siz d = 0; d < m; d++) {
      double& out = o[g * m + d];
      if (!(out > 0)) continue;
      if (dt[d].h != gt[g].h || dt[d].w != gt[g].w) {
        out = -1;
        continue;
      }
      uint i, u;
      if (self && dfast[d] && gfast[g] && d <= g) {
        // Walked already as (g, d), or the record itself.
        i = d == g ? darea[d] : mirrored[d * m + g];
        u = darea[d] + garea[g] - i;
      } else if (dfast[d] && gfast[g]) {
        // Only the columns inside both boxes can hold common pixels.
        const double* D = &db[4 * d];
        const double* G = &gb[4 * g];
        const uint64_t x0 = static_cast<uint64_t>(std::max(D[0], G[0]));
        const uint64_t x1 = static_cast<uint64_t>(std::min(D[0] + D[2], G[0] + G[2]));
        const uint64_t h = dt[d].h;
        i = static_cast<uint>(intersection_in(dbounds[d], gbounds[g], x0 * h, x1 * h));
        u = darea[d] + garea[g] - i;
        if (self) mirrored[g * m + d] = i;
      } else {
        overlap_counts(dt[d], gt[g], &i, &u);
      }
      if (i == 0) {
        u = 1;
      } else if (crowd) {
        u = darea[d];
      }
      out = u > 0 ? static_cast<double>(i) / u : 0;
    }
  }
}

void rleNms(RLE* dt, siz n, uint* keep, double thr) {
  // One overlap matrix (each record's runs found once, each pair walked once) when
  // it stays small; pair by pair otherwise. Entry (i, j) is record i against j.
  if (n <= kMaxMirrored) {
    std::vector<double> o(n * n);
    rleIou(dt, dt, n, n, nullptr, o.data());
    greedy_suppress(n, keep, thr, [&o, n](siz i, siz j) { return o[j * n + i]; });
    return;
  }
  greedy_suppress(n, keep, thr, [dt](siz i, siz j) {
    double u;
    rleIou(dt + i, dt + j, 1, 1, nullptr, &u);
    return u;
  });
}

void bbNms(BB dt, siz n, uint* keep, double thr) {
  greedy_suppress(n, keep, thr, [dt](siz i, siz j) {
    double u;
    bbIou(dt + i * 4, dt + j * 4, 1, 1, nullptr, &u);
    return u;
  });
}

void rleToBbox(const RLE* R, BB bb, siz n) {
  for (siz i = 0; i < n; i++) {
    const uint h = static_cast<uint>(R[i].h), w = static_cast<uint>(R[i].w);
    const siz m = (R[i].m / 2) * 2;
    double* box = bb + 4 * i;
    // h = 0 holds no pixel, whatever the counts say; it also guards t mod h.
    if (m == 0 || h == 0) {
      box[0] = box[1] = box[2] = box[3] = 0;
      continue;
    }
    const Divider div(h);
    const uint* cnts = R[i].cnts;
    uint xs = w, ys = h, xe = 0, ye = 0, cc = 0;
    // Column and first pixel of the column of the last position split: boundaries
    // mostly fall in that column or the next, which needs no division.
    uint col = 0, base = 0;
    auto split = [&](uint t, uint* x, uint* y) {
      const uint d = t - base;  // wraps to a large value for t < base
      if (d < h) {
        *x = col, *y = d;
      } else if (d - h < h) {
        *x = ++col, *y = d - h;
        base += h;
      } else {
        div.split(t, x, y);
        col = *x;
        base = t - *y;
      }
    };
    for (siz j = 0; j < m; j += 2) {
      // First pixel of the ones run, then its last pixel (32-bit, wrapping as the counts do).
      cc += cnts[j];
      uint xa, ya, xb, yb;
      split(cc, &xa, &ya);
      cc += cnts[j + 1];
      split(cc - 1, &xb, &yb);
      if (xa < xb) {
        // The ones run wraps into a later column: it covers every row.
        ys = 0;
        ye = h - 1;
      }
      xs = std::min(xs, std::min(xa, xb));
      xe = std::max(xe, std::max(xa, xb));
      ys = std::min(ys, std::min(ya, yb));
      ye = std::max(ye, std::max(ya, yb));
    }
    box[0] = xs;
    box[2] = static_cast<double>(xe - xs + 1);
    box[1] = ys;
    box[3] = static_cast<double>(ye - ys + 1);
  }
}

void rleFrBbox(RLE* R, const BB bb, siz h, siz w, siz n) {
  for (siz i = 0; i < n; i++) {
    const double xs = bb[4 * i + 0], xe = xs + bb[4 * i + 2];
    const double ys = bb[4 * i + 1], ye = ys + bb[4 * i + 3];
    const double xy[8] = {xs, ys, xs, ye, xe, ye, xe, ys};
    rleFrPoly(R + i, xy, 4, h, w);
  }
}

void rleFrPoly(RLE* R, const double* xy, siz k, siz h, siz w) {
  // 1. Upsampled vertices, the first repeated to close the polygon.
  std::vector<int> x(k + 1), y(k + 1);
  for (siz j = 0; j < k; j++) {
    x[j] = clamp_to_int(trunc_to_i64(kPolyScale * xy[j * 2 + 0] + .5));
    y[j] = clamp_to_int(trunc_to_i64(kPolyScale * xy[j * 2 + 1] + .5));
  }
  if (k > 0) {
    x[k] = x[0];
    y[k] = y[0];
  }
  // 3. (fed by 2) One boundary pixel per column crossing between consecutive traced
  // points, back at the mask's resolution. Only the crossings matter, and their
  // order does not (they are sorted), so each edge yields its crossings directly.
  std::vector<uint> a;
  siz crossings = 1;  // at most one per 5 upsampled columns of each edge
  for (siz j = 0; j < k; j++) crossings += static_cast<siz>(std::llabs(int64_t{x[j + 1]} - x[j])) / 5 + 1;
  a.reserve(std::min<siz>(crossings, (w + 1) * (k + 1)));
  const double wmax = static_cast<double>(w) - 1;  // no unsigned wrap when w is 0
  // The same bounds in integers (sizes past 2^63 hold any int column or row anyway).
  const int64_t w_last = w > static_cast<siz>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(w) - 1;
  const int64_t h_last = h > static_cast<siz>(INT64_MAX) ? INT64_MAX - 1 : static_cast<int64_t>(h) - 1;
  // The crossing between upsampled columns xu and xu + 1, on the upper of the two
  // points' rows.
  auto cross = [&](int64_t xu, int64_t v) {
    // (xu + .5) / 5 − .5 = (xu − 2) / 5 is whole only for xu ≡ 2 (mod 5): a cheap
    // filter ahead of the exact test below.
    if ((xu - 2) % 5 != 0) return;
    double xd = static_cast<double>(xu);
    xd = (xd + .5) / kPolyScale - .5;
    if (std::floor(xd) != xd || xd < 0 || xd > wmax) return;
    double yd = static_cast<double>(v);
    yd = (yd + .5) / kPolyScale - .5;
    if (yd < 0) {
      yd = 0;
    } else if (yd > static_cast<double>(h)) {
      yd = static_cast<double>(h);
    }
    yd = std::ceil(yd);
    // Pixel numbers are 32-bit in the counts; wrap as the counts do.
    a.push_back(static_cast<uint>(static_cast<siz>(xd) * h + static_cast<siz>(yd)));
  };
  // Consecutive traced points (u0, v0) then (u, v): a crossing when the columns differ.
  auto pair = [&](int u0, int v0, int u, int v) {
    if (u != u0) cross(u < u0 ? u : int64_t{u} - 1, std::min(v, v0));
  };
  // 2. The points along each edge: point t of an edge is traced by the formulas
  // below; t runs up (or down for a swapped edge), so consecutive points are t and
  // t + 1 in some order, and the joint between two edges is one more pair.
  bool have_prev = false;
  int pu = 0, pv = 0;
  for (siz j = 0; j < k; j++) {
    int64_t xs = x[j], xe = x[j + 1], ys = y[j], ye = y[j + 1];
    const int64_t dx = std::llabs(xe - xs), dy = std::llabs(ys - ye);
    const bool flip = (dx >= dy && xs > xe) || (dx < dy && ys > ye);
    if (flip) {
      std::swap(xs, xe);
      std::swap(ys, ye);
    }
    int fu, fv, lu, lv;  // first and last traced point of the edge
    if (dx == 0 && dy == 0) {
      fu = lu = static_cast<int>(xs);  // a repeated vertex: its slope would be 0/0
      fv = lv = static_cast<int>(ys);
    } else if (dx >= dy) {
      const double s = static_cast<double>(ye - ys) / dx;
      // Between ys and ye, both ints: no saturation needed.
      auto row = [&](int64_t t) { return static_cast<int64_t>(ys + s * t + .5); };
      const int64_t tf = flip ? dx : 0, tl = flip ? 0 : dx;
      fu = static_cast<int>(xs + tf), fv = static_cast<int>(row(tf));
      lu = static_cast<int>(xs + tl), lv = static_cast<int>(row(tl));
      if (have_prev) pair(pu, pv, fu, fv);
      // Points t and t + 1 always differ by one column: upsampled column xs + t
      // crosses to the next. Only columns 5q + 2 give a pixel, column q, which must
      // lie in the picture; the row is then what `cross` computes, in integers:
      // ceil(((v + .5) / 5 − .5)) = ceil((v − 2) / 5), clamped to [0, h].
      const int64_t q0 = std::max<int64_t>(0, ceil_div5(xs - 2));
      const int64_t q1 = std::min<int64_t>(w_last, floor_div5(xs + dx - 1 - 2));
      for (int64_t q = q0; q <= q1; q++) {
        const int64_t t = 5 * q + 2 - xs;
        const int64_t v = std::min(row(t), row(t + 1));
        const int64_t yd = std::max<int64_t>(0, std::min<int64_t>(h_last + 1, ceil_div5(v - 2)));
        a.push_back(static_cast<uint>(static_cast<siz>(q) * h + static_cast<siz>(yd)));
      }
      have_prev = true;
      pu = lu, pv = lv;
      continue;
    } else {
      const double s = static_cast<double>(xe - xs) / dy;
      // Between xs and xe, both ints: no saturation needed.
      auto col = [&](int64_t t) { return static_cast<int>(static_cast<int64_t>(xs + s * t + .5)); };
      const int64_t tf = flip ? dy : 0, tl = flip ? 0 : dy;
      fu = col(tf), fv = static_cast<int>(ys + tf), lu = col(tl), lv = static_cast<int>(ys + tl);
      if (have_prev) pair(pu, pv, fu, fv);
      // A vertical edge stays in its column; otherwise the column changes by at
      // most one between points t and t + 1.
      if (xs != xe) {
        int c0 = col(0);
        for (int64_t t = 0; t < dy; t++) {
          const int c1 = col(t + 1);
          if (c1 != c0) {
            // Traced in the order of t, or against it for a swapped edge.
            if (flip) {
              pair(c1, static_cast<int>(ys + t + 1), c0, static_cast<int>(ys + t));
            } else {
              pair(c0, static_cast<int>(ys + t), c1, static_cast<int>(ys + t + 1));
            }
          }
          c0 = c1;
        }
      }
      have_prev = true;
      pu = lu, pv = lv;
      continue;
    }
    if (have_prev) pair(pu, pv, fu, fv);
    have_prev = true;
    pu = lu, pv = lv;
  }
  // 4. Sorted pixel numbers become run lengths; a zero difference joins two runs.
  a.push_back(static_cast<uint>(h * w));
  sort_uints(a);
  uint p = 0;
  for (uint& t : a) {
    const uint cur = t;
    t -= p;
    p = cur;
  }
  std::vector<uint> b;
  b.reserve(a.size());
  b.push_back(a[0]);
  for (siz j = 1; j < a.size();) {
    if (a[j] > 0) {
      b.push_back(a[j++]);
    } else {
      j++;
      if (j < a.size()) b.back() += a[j++];
    }
  }
  rleInit(R, h, w, b.size(), b.data());
}

namespace {

// The compressed form of the values in [-512, 512), most differences of
// neighbouring columns: their one or two bytes (the second unused for one) and how
// many of them the value takes. A lookup keeps the writer free of branches that the
// mix of one- and two-group values would make unpredictable.
struct ShortCodes {
  uint32_t code[1024];  // byte 0, byte 1, length << 16
  constexpr ShortCodes() : code() {
    for (int x = -512; x < 512; x++) {
      const uint32_t u = static_cast<uint32_t>(x);
      const uint32_t two = x < -16 || x >= 16 ? 1 : 0;
      code[x + 512] = ((u & 0x1f) + 48 + (two << 5)) | (((u >> 5) & 0x1f) + 48) << 8 | (1 + two) << 16;
    }
  }
};
constexpr ShortCodes kShortCodes;

// Appends the compressed form of one count or count difference: groups of 5 bits,
// low first, as many as the signed value needs; a group followed by more has 0x20 set.
// The buffer has room for seven bytes at q.
inline char* put_value(char* q, int64_t x) {
  const uint64_t index = static_cast<uint64_t>(x + 512);
  if (__builtin_expect(index < 1024, 1)) {
    const uint32_t code = kShortCodes.code[index];
    q[0] = static_cast<char>(code & 0xff);
    q[1] = static_cast<char>((code >> 8) & 0xff);  // for a one-byte value, overwritten next
    return q + (code >> 16);
  }
  const uint64_t magnitude = static_cast<uint64_t>(x ^ (x >> 63));
  const int groups = (64 - __builtin_clzll(magnitude)) / 5 + 1;
  for (int g = 0; g < groups - 1; g++) *q++ = static_cast<char>(((x >> (5 * g)) & 0x1f) + 48 + 0x20);
  *q++ = static_cast<char>(((x >> (5 * (groups - 1))) & 0x1f) + 48);
  return q;
}

}  // namespace

char* rleToString(const RLE* R) {
  const siz m = R->m;
  char* s = static_cast<char*>(std::malloc(m * kMaxCharsPerCount + 1));
  char* q = s;
  const uint* cnts = R->cnts;
  // The first three counts as they are, every later one as its difference from
  // the count two before (the same kind of run one column back, mostly).
  for (siz i = 0; i < m && i < 3; i++) q = put_value(q, cnts[i]);
  uint prev2 = m > 1 ? cnts[1] : 0, prev1 = m > 2 ? cnts[2] : 0;  // counts i − 2 and i − 1
  for (siz i = 3; i < m; i++) {
    const uint cur = cnts[i];
    q = put_value(q, static_cast<int64_t>(cur) - prev2);
    prev2 = prev1;
    prev1 = cur;
  }
  *q = 0;
  return s;
}

namespace {

// The rest of a value whose first group c has more following; p is moved past them.
uint64_t read_groups(unsigned c, const unsigned char*& p) {
  // Gathered unsigned: groups past bit 64 fall away instead of shifting out of range.
  uint64_t x = c & 0x1f;
  unsigned k = 1;
  while (*p != 0) {
    c = *p++ - 48u;
    if (k < 13) x |= static_cast<uint64_t>(c & 0x1f) << (5 * k);
    k++;
    if (!(c & 0x20)) break;
  }
  // A value cut short by the end of the string keeps its bits unextended.
  if (!(c & 0x20) && (c & 0x10) && 5 * k < 64) x |= ~UINT64_C(0) << (5 * k);
  return x;
}

// One value at p, which is not the end of the string; p is moved past it.
inline uint64_t read_value(const unsigned char*& p) {
  const unsigned c = *p++ - 48u;
  if (__builtin_expect((c & 0x20) == 0, 1)) {
    // One group, the common case for count differences: its 5 bits sign-extended.
    return static_cast<uint64_t>(static_cast<int64_t>(static_cast<uint64_t>(c) << 59) >> 59);
  }
  if (const unsigned c2 = *p - 48u; *p != 0 && (c2 & 0x20) == 0) {
    // Two groups: 10 bits sign-extended.
    p++;
    const uint64_t bits = (c & 0x1f) | static_cast<uint64_t>(c2 & 0x1f) << 5;
    return static_cast<uint64_t>(static_cast<int64_t>(bits << 54) >> 54);
  }
  return read_groups(c, p);
}

}  // namespace

void rleFrString(RLE* R, char* s, siz h, siz w) {
  // Never more counts than characters; the record keeps this buffer.
  const siz len = std::strlen(s);
  uint* cnts = len > 0 ? static_cast<uint*>(std::malloc(sizeof(uint) * len)) : nullptr;
  siz m = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  if (cnts != nullptr) {
    // The first three counts as they are, every later one as a difference from the
    // count two before. Modular sums: the low 32 bits equal those of the signed sum.
    while (m < 3 && *p != 0) cnts[m++] = static_cast<uint>(read_value(p));
    uint prev2 = m > 1 ? cnts[m - 2] : 0, prev1 = m > 2 ? cnts[m - 1] : 0;  // kept out of memory
    while (*p != 0) {
      const uint v = static_cast<uint>(read_value(p) + prev2);
      cnts[m++] = v;
      prev2 = prev1;
      prev1 = v;
    }
  }
  R->h = h;
  R->w = w;
  R->m = m;
  if (m == 0) {
    std::free(cnts);
    cnts = nullptr;
  }
  R->cnts = cnts;
}

}  // extern "C"
