// Throughput of the run-length codec and of instance-mask decoding.
//
// Codec figures are megapixels per second and, as a ratio, how many times slower
// than the memory floor (one pass that reads every byte of the same masks) they are.
// Masks are synthetic: a few large filled ellipses per mask, drawn here.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "norvane/maskApi.h"
#include "norvane/nv_cv.h"

namespace {

using Clock = std::chrono::steady_clock;

// Best of reps runs, in seconds: the least disturbed run is the closest to the code's cost.
double best_seconds(int reps, const std::function<void()>& fn) {
  double best = 1e30;
  for (int i = 0; i < reps; i++) {
    auto t0 = Clock::now();
    fn();
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

// n column-major h × w masks back to back, each with a few filled ellipses.
std::vector<byte> blob_masks(siz h, siz w, int n, std::mt19937& gen) {
  std::vector<byte> out(h * w * n);
  for (int i = 0; i < n; i++) {
    // A w × h matrix in row-major order is the h × w mask in column-major order.
    cv::Mat m(static_cast<int>(w), static_cast<int>(h), CV_8UC1, out.data() + h * w * i);
    for (int b = 0, blobs = 2 + gen() % 3; b < blobs; b++) {
      cv::Point c(gen() % h, gen() % w);
      cv::Size axes(h / 8 + gen() % (h / 4), w / 8 + gen() % (w / 4));
      cv::ellipse(m, c, axes, gen() % 180, 0, 360, cv::Scalar(1), cv::FILLED);
    }
  }
  return out;
}

volatile uint64_t g_sink;  // keeps the floor pass from being optimised away

void bench_codec(const char* name, siz h, siz w, int n, std::mt19937& gen) {
  const std::vector<byte> masks = blob_masks(h, w, n, gen);
  const double mpx = static_cast<double>(h * w) * n / 1e6;
  const int reps = 5;
  std::printf("\n%s: %d masks of %lux%lu (%.1f MP)\n", name, n, h, w, mpx);

  // 8 bytes per load, which the compiler widens further: a pass bounded by memory.
  const double floor_s = best_seconds(reps, [&] {
    uint64_t acc = 0;
    for (size_t i = 0; i + 8 <= masks.size(); i += 8) {
      uint64_t x;
      std::memcpy(&x, masks.data() + i, 8);
      acc ^= x;
    }
    g_sink = acc;
  });
  auto report = [&](const char* op, double seconds, double work_mpx) {
    const double rate = work_mpx / seconds;
    std::printf("  %-22s %9.1f MP/s   %6.2fx floor\n", op, rate, (mpx / floor_s) / rate);
  };
  report("floor (read each byte)", floor_s, mpx);

  RLE* rles;
  rlesInit(&rles, n);
  report("rleEncode", best_seconds(reps, [&] {
           for (int i = 0; i < n; i++) rleFree(rles + i);
           rleEncode(rles, masks.data(), h, w, n);
         }), mpx);
  std::vector<byte> decoded(masks.size());
  report("rleDecode", best_seconds(reps, [&] { rleDecode(rles, decoded.data(), n); }), mpx);
  if (decoded != masks) std::printf("  DECODE MISMATCH\n");

  std::vector<char*> strings(n, nullptr);
  report("rleToString", best_seconds(reps, [&] {
           for (int i = 0; i < n; i++) {
             std::free(strings[i]);
             strings[i] = rleToString(rles + i);
           }
         }), mpx);
  RLE* back;
  rlesInit(&back, n);
  report("rleFrString", best_seconds(reps, [&] {
           for (int i = 0; i < n; i++) {
             rleFree(back + i);
             rleFrString(back + i, strings[i], h, w);
           }
         }), mpx);
  for (char* s : strings) std::free(s);
  rlesFree(&back, n);

  const int merged = std::min(n, 10);
  RLE out{0, 0, 0, nullptr};
  report("rleMerge (10, union)", best_seconds(reps, [&] {
           rleFree(&out);
           rleMerge(rles, &out, merged, 0);
         }), mpx * merged / n);
  rleFree(&out);

  const int k = std::min(n, 50);
  std::vector<double> iou(k * k);
  report("rleIou (50x50)", best_seconds(reps, [&] { rleIou(rles, rles, k, k, nullptr, iou.data()); }),
         mpx / n * k * k);

  // A star-shaped polygon of 200 vertices around the centre.
  std::vector<double> poly;
  for (int v = 0; v < 200; v++) {
    const double a = 2 * M_PI * v / 200, r = (0.25 + 0.2 * (gen() % 100) / 100.0) * std::min(h, w);
    poly.push_back(w / 2.0 + r * std::cos(a));
    poly.push_back(h / 2.0 + r * std::sin(a));
  }
  RLE p{0, 0, 0, nullptr};
  report("rleFrPoly (200 pts)", best_seconds(reps, [&] {
           for (int i = 0; i < n; i++) {
             rleFree(&p);
             rleFrPoly(&p, poly.data(), 200, h, w);
           }
         }), mpx);
  rleFree(&p);
  rlesFree(&rles, n);
}

void bench_mask2result(const char* name, float min_side, float max_side, std::mt19937& gen) {
  const int rows = 1080, cols = 1920, n = 10, classes = 3, mh = 28, mw = 28;
  std::uniform_real_distribution<float> side(min_side, max_side), value(0, 1);
  std::vector<float> boxes, planes(static_cast<size_t>(n) * classes * mh * mw);
  for (float& v : planes) v = value(gen);
  for (int i = 0; i < n; i++) {
    const float bw = std::min<float>(side(gen), cols), bh = std::min<float>(side(gen), rows);
    const float x1 = (cols - bw) * value(gen), y1 = (rows - bh) * value(gen);
    boxes.insert(boxes.end(), {float(i % classes), 0.9f, x1, y1, x1 + bw - 1, y1 + bh - 1});
  }
  const double s = best_seconds(10, [&] {
    std::vector<norvane::EdgeResultData> results;
    norvane::vision::mask2result(boxes.data(), planes.data(), {n, 6}, {n, classes, mh, mw}, rows, cols, 1.0f,
                                 results);
  });
  std::printf("  %-34s %6.3f ms per detection\n", name, s * 1e3 / n);
}

}  // namespace

int main() {
  std::mt19937 gen(42);
  bench_codec("Large masks", 1080, 1920, 50, gen);
  bench_codec("Small masks", 480, 640, 100, gen);
  std::printf("\nmask2result: 10 detections, 1080x1920 image, 28x28 planes (target < 3 ms)\n");
  bench_mask2result("boxes 50-400 px", 50, 400, gen);
  bench_mask2result("boxes 300-1200 px", 300, 1200, gen);
  bench_mask2result("boxes of the whole image", 5000, 5000, gen);
  return 0;
}
