// POST "/": threshold parsing, image decoding, the reply forms and the
// containment of failures, against fake predictors.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>
#include <zlib.h>

#include "fake_predictor.h"
#include "norvane/net/http_server_image.h"
#include "service_test_util.h"
#include "support/temp_dir.h"

namespace norvane_test {
namespace {

using norvane::HttpServer;
using norvane::NV_ERR_BAD_REQUEST;
using norvane::detail::PictureHeader;

PictureHeader header_of(const std::string& bytes) {
  return norvane::detail::read_picture_header(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

cv::Mat decoded(const std::string& bytes) {
  return cv::imdecode(std::vector<uchar>(bytes.begin(), bytes.end()), cv::IMREAD_COLOR);
}

std::string refused(const std::string& why) {
  return "{\"error_code\":8000001,\"message\":\"Failed to decode image: " + why + "\"}";
}

// Whether body refuses the picture for `why`, where a '#' stands for a number.
bool refuses(const std::string& body, const std::string& why) {
  const std::string expected = refused(why);
  const size_t at = expected.find('#');
  if (at == std::string::npos) return body == expected;
  const size_t end = body.find_first_not_of("0123456789", at);
  return end != std::string::npos && end > at && body.compare(0, at, expected, 0, at) == 0 &&
         body.compare(end, std::string::npos, expected, at + 1, std::string::npos) == 0;
}

// Appends v as n bytes, least significant first (or last).
void put(std::string& out, uint64_t v, unsigned n, bool little = true) {
  for (unsigned i = 0; i < n; ++i) out += static_cast<char>(v >> (8 * (little ? i : n - 1 - i)));
}

// A TIFF (or BigTIFF) of one directory whose entries hold one value each, of
// the given type, in the entry or after the directory when it does not fit;
// StripOffsets and TileOffsets point at the pixels that follow.
struct TiffEntry {
  uint16_t tag, type;
  uint64_t value;
};
std::string tiff(const std::vector<TiffEntry>& entries, bool big, bool little, const std::string& pixels) {
  auto type_size = [](uint16_t type) {
    return type == 1 || type == 6 ? 1u : type == 3 || type == 8 ? 2u : type == 4 || type == 9 || type == 13 ? 4u : 8u;
  };
  const unsigned field = big ? 8 : 4, head = big ? 16 : 8;
  const size_t values_at = head + (big ? 8 : 2) + entries.size() * (big ? 20 : 12) + field;
  size_t pixels_at = values_at;
  for (const TiffEntry& e : entries) pixels_at += type_size(e.type) > field ? 8 : 0;
  std::string out = little ? "II" : "MM", values;
  put(out, big ? 43 : 42, 2, little);
  if (big) put(out, 8, 2, little), put(out, 0, 2, little);
  put(out, head, field, little);
  put(out, entries.size(), big ? 8 : 2, little);
  for (const TiffEntry& e : entries) {
    const uint64_t v = e.tag == 273 || e.tag == 324 ? pixels_at : e.value;
    put(out, e.tag, 2, little);
    put(out, e.type, 2, little);
    put(out, 1, field, little);
    std::string value;
    put(value, v, type_size(e.type), little);
    if (value.size() > field) {
      put(out, values_at + values.size(), field, little);
      values += value;
    } else {
      out += value + std::string(field - value.size(), '\0');
    }
  }
  put(out, 0, field, little);
  return out + values + pixels;
}

// An uncompressed 8-bit RGB TIFF whose width and height fields have the given type.
std::string rgb_tiff(uint64_t width, uint64_t height, uint16_t size_type, bool big = false, bool little = true) {
  const uint64_t bytes = width * height * 3;
  return tiff({{256, size_type, width}, {257, size_type, height}, {258, 3, 8}, {259, 3, 1}, {262, 3, 2}, {273, 4, 0},
               {277, 3, 3}, {278, 4, height}, {279, 4, bytes}},
              big, little, std::string(std::min<uint64_t>(bytes, 1 << 20), '\x40'));
}

// A JPEG 2000 codestream's main header: SOC, SIZ of a picture at the origin and,
// when given, a COD of 5 levels with square precincts of 2^precinct pixels.
std::string j2k(uint32_t width, uint32_t height, uint32_t tile_w, uint32_t tile_h, uint16_t components, int bits,
                int precinct = -1) {
  std::string siz;
  put(siz, 0, 2, false);  // capabilities
  for (uint32_t v : {width, height, 0u, 0u, tile_w, tile_h, 0u, 0u}) put(siz, v, 4, false);
  put(siz, components, 2, false);
  for (int c = 0; c < components; ++c) siz += std::string{static_cast<char>(bits - 1), 1, 1};
  std::string out = "\xFF\x4F\xFF\x51";
  put(out, siz.size() + 2, 2, false);
  out += siz;
  if (precinct >= 0)
    out += std::string("\xFF\x52\0\x12\x01\0\0\x01\0\x05\x04\x04\0\x01", 14) + std::string(6, precinct * 17);
  return out + "\xFF\xD9";
}

// An OpenEXR header: colour channels and the given attributes.
std::string exr_attribute(const std::string& name, const std::string& type, const std::string& value) {
  std::string out = name + '\0' + type + '\0';
  put(out, value.size(), 4);
  return out + value;
}
std::string exr_window(int32_t width, int32_t height) {
  std::string box;
  for (int32_t v : {0, 0, width - 1, height - 1}) put(box, static_cast<uint32_t>(v), 4);
  return exr_attribute("dataWindow", "box2i", box);
}
std::string exr(const std::string& attributes) {
  std::string channels;
  const std::string float_channel("\x02\0\0\0\0\0\0\0\x01\0\0\0\x01\0\0\0", 16);  // unsampled 32-bit floats
  for (const char* c : {"B", "G", "R"}) channels += std::string(c) + '\0' + float_channel;
  return std::string("\x76\x2F\x31\x01\x02\0\0\0", 8) + exr_attribute("channels", "chlist", channels + '\0') +
         attributes + '\0';
}

// A small JPEG whose frame header claims width x height.
std::string jpeg_claiming(uint16_t width, uint16_t height) {
  cv::Mat noise(64, 64, CV_8UC3);
  cv::randu(noise, 0, 255);
  std::string bytes = encode(noise, ".jpg");
  const size_t sof = bytes.find("\xFF\xC0");
  bytes[sof + 5] = static_cast<char>(height >> 8);
  bytes[sof + 6] = static_cast<char>(height & 255);
  bytes[sof + 7] = static_cast<char>(width >> 8);
  bytes[sof + 8] = static_cast<char>(width & 255);
  return bytes;
}

norvane::EdgeResultData record(const std::string& label, float prob, float x1, float y1, float x2, float y2) {
  norvane::EdgeResultData r;
  r.label = label;
  r.prob = prob;
  r.x1 = x1;
  r.y1 = y1;
  r.x2 = x2;
  r.y2 = y2;
  return r;
}

// The bytes zlib writes for data: a gzip member (window_bits 31) or a zlib
// stream (15). `zeros` more zero bytes follow data, written piece by piece.
std::string deflated(const std::string& data, int window_bits, size_t zeros = 0) {
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  std::string out;
  const std::string nothing(1 << 20, '\0');
  const auto put_in = [&](const std::string& in, size_t n, int flush) {
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(n);
    unsigned char buf[16384];
    do {
      z.next_out = buf;
      z.avail_out = sizeof(buf);
      deflate(&z, flush);
      out.append(reinterpret_cast<char*>(buf), sizeof(buf) - z.avail_out);
    } while (z.avail_out == 0);
  };
  put_in(data, data.size(), Z_NO_FLUSH);
  for (size_t left = zeros; left > 0; left -= std::min(left, nothing.size()))
    put_in(nothing, std::min(left, nothing.size()), Z_NO_FLUSH);
  put_in(nothing, 0, Z_FINISH);
  deflateEnd(&z);
  return out;
}

std::string brotli(const std::string& data) {
  size_t size = BrotliEncoderMaxCompressedSize(data.size());
  std::string out(size, '\0');
  BrotliEncoderCompress(BROTLI_DEFAULT_QUALITY, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, data.size(),
                        reinterpret_cast<const uint8_t*>(data.data()), &size, reinterpret_cast<uint8_t*>(&out[0]));
  out.resize(size);
  return out;
}

class InferRoute : public ::testing::Test {
 protected:
  void SetUp() override {
    quiet_logger();
    fake_->records = {record("red", 0.5f, 0.25f, 0.5f, 0.75f, 1.0f)};
    png_ = encode(cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 255)), ".png");
  }

  httplib::Result post(RunningServer& server, const std::string& path, const std::string& body) {
    return server.client().Post(path.c_str(), body, "application/octet-stream");
  }

  HomeGuard home_;
  std::shared_ptr<FakeBehaviour> fake_ = std::make_shared<FakeBehaviour>();
  std::string png_;
};

TEST_F(InferRoute, SuccessReplyIsCompactWithCostCodeAndResults) {
  RunningServer server({fake_});
  for (const char* ext : {".png", ".jpg", ".bmp"}) {
    auto r = post(server, "/", encode(cv::Mat(480, 640, CV_8UC3, cv::Scalar(0, 0, 255)), ext));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/json");
    EXPECT_EQ(r->get_header_value("Access-Control-Allow-Origin"), "*");
    // cost_ms is a whole number of milliseconds; the rest is fixed.
    const std::string prefix = "{\"cost_ms\":";
    ASSERT_EQ(r->body.rfind(prefix, 0), 0u) << r->body;
    size_t digits_end = r->body.find(',');
    ASSERT_NE(digits_end, std::string::npos);
    EXPECT_EQ(r->body.find_first_not_of("0123456789", prefix.size()), digits_end) << r->body;
    EXPECT_EQ(r->body.substr(digits_end),
              ",\"error_code\":0,\"results\":[{\"confidence\":0.5,\"index\":0,\"label\":\"red\","
              "\"location\":{\"height\":240,\"left\":160,\"top\":240,\"width\":320},\"name\":\"red\","
              "\"score\":0.5,\"x1\":0.25,\"x2\":0.75,\"y1\":0.5,\"y2\":1}]}")
        << ext;
  }
}

// curl posts --data-binary bodies as form-encoded unless told otherwise; such a
// body used to be refused with 413 past 8 KB (and parsed as query parameters).
TEST_F(InferRoute, ContentTypeDoesNotChangeTheBody) {
  RunningServer server({fake_});
  cv::Mat noisy(480, 640, CV_8UC3);
  cv::randu(noisy, 0, 255);
  const std::string big = encode(noisy, ".png");
  ASSERT_GT(big.size(), 8192u);
  for (const char* type : {"application/x-www-form-urlencoded", "image/png", "text/plain"}) {
    auto r = server.client().Post("/", big, type);
    ASSERT_TRUE(r) << type;
    EXPECT_EQ(r->status, 200) << type;
    EXPECT_NE(r->body.find("\"error_code\":0,"), std::string::npos) << type << ": " << r->body;
  }
  // A form body holding "threshold=" is an undecodable image, not a parameter.
  auto form = server.client().Post("/", "threshold=abc", "application/x-www-form-urlencoded");
  ASSERT_TRUE(form);
  EXPECT_NE(form->body.find("Failed to decode image: "), std::string::npos) << form->body;
}

TEST_F(InferRoute, ThresholdParameter) {
  struct Case {
    std::string query;
    bool accepted;
    float seen;  // threshold the full infer received; NaN checked apart
  };
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<Case> cases = {
      {"", true, 0.25f},  // the model's own
      {"?threshold=-1", true, 0.25f},
      {"?threshold=%20-2", true, 0.25f},  // leading blank skipped, still negative
      {"?threshold=0", true, 0.0f},
      {"?threshold=0.5abc", true, 0.5f},
      {"?threshold=nan", true, nan},
      {"?threshold=1e40", false, 0},
      {"?threshold=abc", false, 0},
      {"?threshold=", false, 0},
  };
  RunningServer server({fake_});
  for (const Case& c : cases) {
    LogCapture capture;
    const size_t calls_before = fake_->seen().size();
    auto r = post(server, "/" + c.query, png_);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    auto seen = fake_->seen();
    if (c.accepted) {
      EXPECT_NE(r->body.find("\"error_code\":0,"), std::string::npos) << c.query << ": " << r->body;
      ASSERT_EQ(seen.size(), calls_before + 1) << c.query;
      if (std::isnan(c.seen)) {
        EXPECT_TRUE(std::isnan(seen.back())) << c.query;
      } else {
        EXPECT_EQ(seen.back(), c.seen) << c.query;
      }
    } else {
      const std::string raw = c.query.substr(c.query.find('=') + 1);
      const std::string message = "Illegal parameter 'threshold': " + raw;
      EXPECT_EQ(r->body, "{\"error_code\":" + std::to_string(NV_ERR_BAD_REQUEST) + ",\"message\":\"" + message + "\"}");
      EXPECT_EQ(seen.size(), calls_before) << "no inference for " << c.query;
      EXPECT_EQ(capture.count(el::Level::Warning, message), 1) << c.query;
      EXPECT_FALSE(capture.contains("Input image size")) << "image decoded for " << c.query;
    }
  }
}

TEST_F(InferRoute, BodiesThatAreNoImage) {
  RunningServer server({fake_});
  LogCapture capture;

  auto empty = post(server, "/", "");
  ASSERT_TRUE(empty);
  EXPECT_EQ(empty->status, 200);
  EXPECT_EQ(empty->body.rfind("{\"error_code\":8000001,\"message\":\"Failed to decode image: ", 0), 0u) << empty->body;

  auto text = post(server, "/", "this is not a picture");
  ASSERT_TRUE(text);
  EXPECT_EQ(text->body, "{\"error_code\":8000001,\"message\":\"Failed to decode image: Empty image\"}");
  EXPECT_EQ(capture.count(el::Level::Debug, "Input image size: 0, 0"), 1);

  auto truncated = post(server, "/", png_.substr(0, 40));
  EXPECT_EQ(truncated->body.rfind("{\"error_code\":8000001,", 0), 0u) << truncated->body;
  EXPECT_TRUE(fake_->seen().empty());
}

// The declared size and decoded bytes of every format the image library
// writes, against what it wrote and decodes; a header cut short anywhere gives
// the same size or none, never a wrong one (each cut is its own allocation, so
// AddressSanitizer sees any over-read).
TEST(PictureHeader, SizeOfEveryDecodableFormat) {
  struct Format {
    const char* ext;
    int type;
    uint64_t bytes_per_pixel;
    std::vector<int> params;
  };
  const std::vector<Format> formats = {
      {".jpg", CV_8UC3, 3, {}}, {".jpg", CV_8UC1, 1, {}}, {".png", CV_8UC3, 3, {}}, {".png", CV_16UC4, 8, {}},
      {".png", CV_8UC1, 1, {}}, {".bmp", CV_8UC3, 3, {}}, {".webp", CV_8UC3, 3, {}},
      {".webp", CV_8UC4, 4, {cv::IMWRITE_WEBP_QUALITY, 101}}, {".tiff", CV_8UC3, 3, {}}, {".tiff", CV_16UC4, 8, {}},
      {".tiff", CV_16UC1, 2, {}}, {".ppm", CV_8UC3, 3, {}}, {".ppm", CV_16UC3, 6, {}}, {".pgm", CV_8UC1, 1, {}},
      {".pbm", CV_8UC1, 1, {}}, {".pam", CV_8UC3, 3, {}}, {".pfm", CV_32FC3, 12, {}}, {".pfm", CV_32FC1, 4, {}},
      {".sr", CV_8UC3, 3, {}}, {".hdr", CV_32FC3, 12, {}}, {".jp2", CV_8UC3, 12, {}}, {".jp2", CV_16UC4, 16, {}},
      {".exr", CV_32FC3, 12, {}}, {".exr", CV_32FC1, 4, {}}};
  for (const Format& f : formats) {
    for (const cv::Size size : {cv::Size(53, 37), cv::Size(700, 40), cv::Size(33, 300)}) {
      cv::Mat picture(size, f.type);
      cv::randu(picture, 0, 1);
      std::vector<uchar> bytes;
      ASSERT_TRUE(cv::imencode(f.ext, picture, bytes, f.params)) << f.ext;
      const std::string body(bytes.begin(), bytes.end());
      const PictureHeader h = header_of(body);
      ASSERT_NE(h.format, nullptr) << f.ext;
      ASSERT_TRUE(h.sized) << f.ext << " " << size;
      EXPECT_EQ(h.width, static_cast<uint64_t>(size.width)) << f.ext;
      EXPECT_EQ(h.height, static_cast<uint64_t>(size.height)) << f.ext;
      // JPEG 2000 adds the decoder's state for tiles and code-blocks.
      const uint64_t samples = size.area() * f.bytes_per_pixel;
      EXPECT_TRUE(h.decoded_bytes == samples || (f.ext == std::string(".jp2") && h.decoded_bytes > samples &&
                                                 h.decoded_bytes < samples + 100000))
          << f.ext << " " << f.type << ": " << h.decoded_bytes;
      EXPECT_EQ(norvane::detail::picture_refusal(h, 64000000), "") << f.ext;
      EXPECT_EQ(decoded(body).size(), size) << f.ext << ": the library reads the same size";
      for (size_t n = 1; n < std::min<size_t>(bytes.size(), 700); ++n) {
        const PictureHeader cut = header_of(body.substr(0, n));
        if (cut.sized) {
          EXPECT_EQ(cut.width, h.width) << f.ext << " cut at " << n;
          EXPECT_EQ(cut.height, h.height) << f.ext << " cut at " << n;
        }
      }
    }
  }
}

// A progressive JPEG is held whole as 2-byte DCT coefficients, each component
// at its own sampling: a grey one takes twice the bytes of its pixels.
TEST(PictureHeader, ProgressiveJpegCountsItsCoefficients) {
  cv::Mat picture(64, 80, CV_8UC1);
  cv::randu(picture, 0, 255);
  for (const int progressive : {0, 1}) {
    std::vector<uchar> bytes;
    cv::imencode(".jpg", picture, bytes, {cv::IMWRITE_JPEG_PROGRESSIVE, progressive});
    EXPECT_EQ(header_of(std::string(bytes.begin(), bytes.end())).decoded_bytes, 64u * 80 * (progressive + 1));
  }
}

// Bodies go to the decoder the library would pick by their first bytes (it
// pads that window with blanks), so each is measured by the right reader. A
// bare VP8L bitstream is a WebP picture to the library, and a PNG stays a PNG
// whatever sits at byte 128, but a JPEG 2000 codestream with "DICM" there goes
// to the medical-imaging decoder.
TEST(PictureHeader, FormatIsTheOneTheLibraryPicks) {
  cv::Mat noise(12, 16, CV_8UC3);
  cv::randu(noise, 0, 255);
  std::vector<uchar> webp;
  cv::imencode(".webp", noise, webp, {cv::IMWRITE_WEBP_QUALITY, 101});
  const std::string vp8l(webp.begin() + 20, webp.end());
  ASSERT_EQ(decoded(vp8l).size(), cv::Size(16, 12));
  const std::string png = encode(cv::Mat(12, 16, CV_8UC3), ".png") + std::string(200, '\0');
  std::string tagged_png = png, tagged_j2k = j2k(16, 12, 16, 12, 3, 8) + std::string(200, '\0');
  tagged_png.replace(128, 4, "DICM");
  tagged_j2k.replace(128, 4, "DICM");
  struct Case {
    std::string body;
    const char* format;
  };
  for (const Case& c : std::vector<Case>{{vp8l, "WebP"},
                                         {"P6", "PNM"},
                                         {"P6\v3 2 255 ", "PNM"},
                                         {"P6x", nullptr},
                                         {"P7\n", "PAM"},
                                         {"Pf\n", "PFM"},
                                         {tagged_png, "PNG"},
                                         {tagged_j2k, "DICOM"},
                                         {std::string(140, 'x') + "DTED and more", "DTED"},
                                         {"NITF02.10", "NITF"},
                                         {"#?RADIANCE\n", "Radiance HDR"},
                                         {"#?RADIANC", nullptr},
                                         {std::string("\xFF\xD8\xFE", 3), nullptr},
                                         {std::string("II+\0\x08\0\0\0", 8), "TIFF"},
                                         {std::string("\0\0\0\x0CjP  \r\n\x87\n", 12), "JPEG 2000"},
                                         {std::string(200, '\0'), nullptr},
                                         {"this is not a picture", nullptr}}) {
    const PictureHeader h = header_of(c.body);
    EXPECT_STREQ(h.format, c.format) << c.body;
    if (c.format == nullptr) {
      EXPECT_TRUE(decoded(c.body).empty()) << c.body;
    }
  }
}

// libtiff takes a size in any integer type, in TIFF and BigTIFF, either byte
// order; a TIFF sized by signed 32-bit fields was once "size unknown" and
// decoded at 16000 x 16000 (1.8 GB).
TEST(PictureHeader, TiffSizeInEveryIntegerTypeLibtiffTakes) {
  for (const bool big : {false, true}) {
    for (const bool little : {true, false}) {
      for (const uint16_t type : {1, 3, 4, 6, 8, 9, 16, 17}) {
        const std::string body = rgb_tiff(16, 12, type, big, little);
        const PictureHeader h = header_of(body);
        EXPECT_TRUE(h.sized && h.width == 16 && h.height == 12 && h.decoded_bytes == 16 * 12 * 3)
            << "type " << type << (big ? " BigTIFF" : "") << (little ? " II" : " MM");
        EXPECT_EQ(decoded(body).size(), cv::Size(16, 12)) << "type " << type;
      }
      // Offsets (IFD, IFD8) and rationals are no size to libtiff either.
      for (const uint16_t type : {13, 18, 5}) {
        EXPECT_FALSE(header_of(rgb_tiff(16, 12, type, big, little)).sized) << "type " << type;
        EXPECT_TRUE(decoded(rgb_tiff(16, 12, type, big, little)).empty()) << "type " << type;
      }
    }
  }
  const PictureHeader bomb = header_of(rgb_tiff(16000, 16000, 9));
  EXPECT_EQ(bomb.width, 16000u);
  EXPECT_EQ(bomb.height, 16000u);
  // A negative size is refused by libtiff, and not sized here.
  EXPECT_FALSE(header_of(rgb_tiff(16, static_cast<uint32_t>(-12), 9)).sized);
  EXPECT_TRUE(decoded(rgb_tiff(16, static_cast<uint32_t>(-12), 9)).empty());
  // libtiff keeps the first of a repeated tag; a repeated size was measured at
  // its largest, which is not the size decoded, and now gives no size.
  const std::string twice = tiff({{256, 3, 16}, {256, 3, 40}, {257, 3, 12}, {258, 3, 8}, {259, 3, 1}, {262, 3, 2},
                                  {273, 4, 0}, {277, 3, 3}, {278, 4, 12}, {279, 4, 16 * 12 * 3}},
                                 false, true, std::string(40 * 12 * 3, '\x40'));
  EXPECT_EQ(decoded(twice).size(), cv::Size(16, 12));
  EXPECT_FALSE(header_of(twice).sized);
  // Tiles are buffered at their own size, however small the picture.
  const PictureHeader tiled = header_of(tiff(
      {{256, 3, 16}, {257, 3, 16}, {258, 3, 8}, {262, 3, 2}, {277, 3, 3}, {322, 4, 16384}, {323, 4, 16000},
       {324, 4, 0}},
      false, true, std::string(64, '\0')));
  EXPECT_STREQ(tiled.part, "tile");
  EXPECT_EQ(tiled.part_width * tiled.part_height, 16384u * 16000);
}

// Headers that read differently from what a plain reading of their text or
// fields suggests, read as the decoder's own library reads them.
TEST(PictureHeader, ReadAsTheDecodersRead) {
  // Radiance: fgets hands out 127-byte pieces, so the piece after a 127-byte
  // line is its bare line break, which ends the header.
  const std::string hdr = encode(cv::Mat(12, 16, CV_32FC3, cv::Scalar::all(0.5)), ".hdr");
  const std::string pixels = hdr.substr(hdr.find("+X 16\n") + 6);
  const std::string head = "#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n" + std::string(127, '#') + "\n";
  EXPECT_EQ(decoded(head + "-Y 12 +X 16\n" + pixels).size(), cv::Size(16, 12));
  const PictureHeader decoy = header_of(head + "-Y 16000 +X 16000\n\n-Y 12 +X 16\n" + pixels);
  EXPECT_EQ(decoy.width * decoy.height, 16000u * 16000);

  // OpenEXR reads a known type at its own size whatever length the file
  // states, and a repeated attribute at its last value: a repeated data window
  // gives no size.
  const std::string window = exr_window(16, 12);
  const PictureHeader exr_ok = header_of(exr(window));
  EXPECT_TRUE(exr_ok.sized && exr_ok.width == 16 && exr_ok.height == 12 && exr_ok.decoded_bytes == 16 * 12 * 12);
  EXPECT_FALSE(header_of(exr(exr_attribute("zz", "int", std::string(8, '\0')) + window)).sized);
  EXPECT_FALSE(header_of(exr(window + exr_window(16000, 16000))).sized);
  EXPECT_FALSE(header_of(exr(exr_window(16000, 16000) + window)).sized);
  std::string tiles;
  put(tiles, 16384, 4), put(tiles, 16000, 4), tiles += '\0';
  const PictureHeader tiled = header_of(exr(window + exr_attribute("tiles", "tiledesc", tiles)));
  EXPECT_EQ(tiled.part_width * tiled.part_height, 16384u * 16000);

  // JPEG 2000: a palette of 7 columns makes 7 channels of one component, each
  // sample held in 4 bytes.
  auto box = [](const std::string& type, const std::string& contents) {
    std::string out;
    put(out, 8 + contents.size(), 4, false);
    return out + type + contents;
  };
  auto jp2 = [&](const std::string& header) {
    return std::string("\0\0\0\x0CjP  \r\n\x87\n", 12) + box("ftyp", std::string("jp2 \0\0\0\0jp2 ", 12)) +
           box("jp2h", header) + box("jp2c", j2k(16, 12, 16, 12, 1, 8));
  };
  const std::string pclr = std::string("\0\x01\x07", 3) + std::string(7, '\x07') + std::string(7, '\0');
  EXPECT_EQ(header_of(jp2(box("pclr", pclr))).decoded_bytes - header_of(jp2("")).decoded_bytes, 16u * 12 * 6 * 4);

  // Text headers, each by its own decoder's grammar, against the decoder: a
  // '#' inside a PNM number or a PFM token was once taken for a comment, so
  // "P6\n2000#2000\n1 255\n" was measured 2000 x 1 and decoded 2000 x 2000. A
  // header the reader takes no size from is refused, whether or not the decoder
  // (which wraps counts above INT_MAX) would take it.
  using namespace std::string_literals;
  struct Text {
    std::string head;
    int width, height;  // 0 x 0: no size
  };
  const std::vector<Text> texts = {
      {"P6\n20#20\n1 255\n", 20, 20},
      {"P5 7x5,255\n", 7, 5},
      {"P6\n# comment\n7 # another\n5\n255\n", 7, 5},
      {"P4\n7#5\n", 7, 5},
      {"P2\n2#2\n9 1 2 3 4\n", 2, 2},
      {"P6\n007 005 255\n", 7, 5},
      {"P6\n7#c\n5 255\n", 0, 0},
      {"P6\n+7 5 255\n", 0, 0},
      {"P6\n7 5 65536\n", 0, 0},
      {"P6\n4294967303 5 255\n", 0, 0},
      {"P7\n# c\nWIDTH 7\n  #HEIGHT 500\nHEIGHT\t5\nDEPTH 3\nMAXVAL 255\nENDHDR\n", 7, 5},
      {"P7\rWIDTH \r 007  \rHEIGHT 5\rDEPTH 3\rMAXVAL 255\rENDHDR\r", 7, 5},
      {"P7\nWIDTH 7#500\nHEIGHT 5\nDEPTH 3\nMAXVAL 255\nENDHDR\n", 0, 0},
      {"P7\nWIDTH 7\nWIDTH 500\nHEIGHT 5\nDEPTH 3\nMAXVAL 255\nENDHDR\n", 0, 0},
      {"P7\nWIDTH 0x7\nHEIGHT 5\nDEPTH 3\nMAXVAL 255\nENDHDR\n", 0, 0},
      {"P7\nWIDTH 4294967303\nHEIGHT 5\nDEPTH 3\nMAXVAL 255\nENDHDR\n", 0, 0},
      {"PF\n20#x 20\n1\n", 20, 20},
      {"Pf\n7\t5\v-1\f", 7, 5},
      {"PF\n7x 5\n-1\n", 7, 5},
      {"PF\n 7 5\n-1\n", 0, 0},
      {"PF\n7  5\n-1\n", 0, 0},
      {"PF\n#c\n7 5\n-1\n", 0, 0},
      {"PF\n4294967303 5\n-1\n", 0, 0},
      {"#?RADIANCE\n# made by hand\nFORMAT=32-bit_rle_rgbe\n\n-Y +5 +X 007\n", 7, 5},
      {"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\0\n-Y 1 +X 1\n\n-Y 5 +X 7\n"s, 7, 5},
      {"#?RADIANCE\n\n-Y 5 +X 7\n", 0, 0},
      {"#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n-Y 4294967301 +X 7\n", 0, 0}};
  for (const Text& t : texts) {
    const std::string body = t.head + std::string(5000, '@');
    const PictureHeader text = header_of(body);
    ASSERT_NE(text.format, nullptr) << t.head;
    EXPECT_EQ(text.sized, t.width != 0) << t.head;
    if (!text.sized) continue;
    EXPECT_EQ(cv::Size(static_cast<int>(text.width), static_cast<int>(text.height)), cv::Size(t.width, t.height))
        << t.head;
    EXPECT_EQ(decoded(body).size(), cv::Size(t.width, t.height)) << t.head << ": the decoder reads the same size";
  }
  for (const std::string bypass : {"P6\n2000#2000\n1 255\n", "PF\n2000#x 2000\n1\n"}) {
    EXPECT_EQ(norvane::detail::picture_refusal(header_of(bypass + std::string(64, '\0')), 1000000),
              "picture of 2000 x 2000 pixels is above the limit of 1000000 pixels");
  }
}

// A 6.7 KB JPEG claiming 30000 x 30000 took 5 GB and 20 s, answered with no results.
TEST_F(InferRoute, PicturesOverThePixelCapAreRefusedBeforeDecoding) {
  LogCapture capture;
  {
    RunningServer server({fake_});
    auto r = post(server, "/", jpeg_claiming(30000, 30000));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, refused("picture of 30000 x 30000 pixels is above the limit of 64000000 pixels"));
  }
  RunningServer server({fake_}, "svc-42", [](HttpServer& s) { s.set_limits(10000, HttpServer::kDefaultMaxBodyBytes); });
  for (const char* ext : {".png", ".jpg", ".bmp", ".webp", ".tiff", ".ppm", ".pam", ".sr"}) {
    auto over = post(server, "/", encode(cv::Mat(100, 101, CV_8UC3, cv::Scalar(0, 0, 255)), ext));
    ASSERT_TRUE(over);
    EXPECT_EQ(over->body, refused("picture of 101 x 100 pixels is above the limit of 10000 pixels")) << ext;
    auto at_cap = post(server, "/", encode(cv::Mat(100, 100, CV_8UC3, cv::Scalar(0, 0, 255)), ext));
    EXPECT_NE(at_cap->body.find("\"error_code\":0,"), std::string::npos) << ext << ": " << at_cap->body;
  }
  // The decoded bytes are capped at 3 x 10000 too: 12 bytes a pixel for an HDR
  // or OpenEXR colour picture, 8 for 16-bit RGBA.
  for (const auto& c :
       {std::make_pair(".hdr", CV_32FC3), std::make_pair(".exr", CV_32FC3), std::make_pair(".png", CV_16UC4)}) {
    const int rows = c.second == CV_16UC4 ? 74 : 50;
    const uint64_t bytes = 51u * rows * (c.second == CV_16UC4 ? 8 : 12);
    auto over = post(server, "/", encode(cv::Mat(rows, 51, c.second, cv::Scalar::all(0)), c.first));
    ASSERT_TRUE(over);
    EXPECT_EQ(over->body, refused("picture of 51 x " + std::to_string(rows) + " pixels takes " + std::to_string(bytes) +
                                  " bytes to decode, above the limit of 30000 bytes"))
        << c.first;
    auto at_cap = post(server, "/", encode(cv::Mat(rows, 50, c.second, cv::Scalar::all(0)), c.first));
    EXPECT_NE(at_cap->body.find("\"error_code\":0,"), std::string::npos) << c.first << ": " << at_cap->body;
  }
  EXPECT_EQ(fake_->seen().size(), 11u);
  EXPECT_FALSE(capture.contains("Input image size: 101, 100")) << "nothing decoded";
  EXPECT_FALSE(capture.contains("Input image size: 51,")) << "nothing decoded";
  EXPECT_FALSE(capture.contains("Input image size: 30000")) << "nothing decoded";
}

// A 747 KB TIFF sized by signed 32-bit fields was decoded at 16000 x 16000 (1.8
// GB); a 16 x 16 one with 16384 x 16000 tiles took 1.1 GB; a 6 KB 16-bit RGBA
// JPEG 2000 of 8000 x 8000, 1.3 GB; 87 bytes of JPEG 2000 with 65535 tiles, 811
// MB; a megapixel JPEG 2000 in 2 x 2 precincts, 1.7 GB.
TEST_F(InferRoute, HeadersTheDecoderWouldOverspendOnAreRefused) {
  LogCapture capture;
  RunningServer server({fake_});
  const std::string no_length = tiff({{256, 3, 16}, {258, 3, 8}, {277, 3, 3}}, false, true, std::string(64, '\0'));
  const std::string tiled =
      tiff({{256, 3, 16}, {257, 3, 16}, {258, 3, 8}, {262, 3, 2}, {277, 3, 3}, {322, 4, 16384}, {323, 4, 16000}},
           false, true, std::string(64, '\0'));
  const std::vector<std::pair<std::string, std::string>> cases = {
      {rgb_tiff(16000, 16000, 9), "picture of 16000 x 16000 pixels is above the limit of 64000000 pixels"},
      {tiled, "TIFF tile of 16384 x 16000 pixels is above the limit of 64000000 pixels"},
      {j2k(8000, 8000, 8000, 8000, 4, 16),
       "picture of 8000 x 8000 pixels takes # bytes to decode, above the limit of 192000000 bytes"},
      {j2k(255, 257, 1, 1, 3, 8),
       "picture of 255 x 257 pixels takes # bytes to decode, above the limit of 192000000 bytes"},
      {j2k(1000, 1000, 1000, 1000, 3, 8, 1),
       "picture of 1000 x 1000 pixels takes # bytes to decode, above the limit of 192000000 bytes"},
      {j2k(16, 16, 16, 16, 64, 8), "JPEG 2000 picture of 64 components is above the limit of 4 components"},
      {j2k(2000000, 16, 2000000, 16, 3, 8),
       "picture of 2000000 x 16 pixels is above the limit of 1048576 pixels per side"},
      {no_length, "no size can be read from the header of this TIFF picture"},
      {std::string(128, '\0') + "DICM" + std::string(64, '\0'), "DICOM pictures are not accepted"}};
  for (const auto& c : cases) {
    auto r = post(server, "/", c.first);
    ASSERT_TRUE(r);
    EXPECT_TRUE(refuses(r->body, c.second)) << r->body;
  }
  EXPECT_EQ(capture.count(el::Level::Warning, "Failed to decode image: "), static_cast<int>(cases.size()));
  EXPECT_FALSE(capture.contains("Input image size")) << "nothing decoded";
  EXPECT_TRUE(fake_->seen().empty());
}

// Ordinary pictures of every format and sample layout the library writes still
// go through under the default cap.
TEST_F(InferRoute, OrdinaryPicturesOfEveryFormatAreInferred) {
  RunningServer server({fake_});
  cv::Mat noise(480, 640, CV_8UC3);
  cv::randu(noise, 0, 255);
  for (const auto& c : std::vector<std::pair<const char*, int>>{
           {".jpg", CV_8UC3}, {".png", CV_16UC4}, {".png", CV_8UC1}, {".bmp", CV_8UC4}, {".webp", CV_8UC4},
           {".tiff", CV_16UC3}, {".tiff", CV_32FC3}, {".pbm", CV_8UC1}, {".pgm", CV_16UC1}, {".pam", CV_8UC3},
           {".pfm", CV_32FC3}, {".sr", CV_8UC3}, {".hdr", CV_32FC3}, {".jp2", CV_16UC3}, {".exr", CV_32FC1}}) {
    cv::Mat picture;
    noise.convertTo(picture, CV_MAKETYPE(CV_MAT_DEPTH(c.second), 3));
    if (CV_MAT_CN(c.second) == 1) cv::cvtColor(picture, picture, cv::COLOR_BGR2GRAY);
    if (CV_MAT_CN(c.second) == 4) cv::cvtColor(picture, picture, cv::COLOR_BGR2BGRA);
    auto r = post(server, "/", encode(picture, c.first));
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("\"error_code\":0,"), std::string::npos) << c.first << " " << c.second << ": " << r->body;
  }
}

// A body cut short used to be decoded after the read time-out, inferred,
// counted and answered 400 with the handler's JSON; a bad multipart boundary too.
TEST_F(InferRoute, BodiesAreReadWholeOrNotAtAll) {
  using std::chrono::milliseconds;
  LogCapture capture;
  RunningServer server({fake_}, "svc-42",
                       [](HttpServer& s) { s.set_deadlines({milliseconds(2000), milliseconds(300), 1 << 20}); });
  const std::string head = "POST / HTTP/1.1\r\nHost: x\r\nContent-Length: " + std::to_string(png_.size()) + "\r\n\r\n";
  const std::string part = head + png_.substr(0, png_.size() * 6 / 10);
  {
    RawClient dropped(server.port());
    dropped.send_text(part);
  }
  for (const std::string& request :
       {part,
        std::string("POST / HTTP/1.1\r\nContent-Type: multipart/form-data\r\nContent-Length: 10\r\n\r\n0123456789"),
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n400\r\n" + png_.substr(0, 500)}) {
    RawClient quiet(server.port());
    quiet.send_text(request);
    const std::string reply = quiet.read_all(10);
    EXPECT_EQ(reply.rfind("HTTP/1.1 400 Bad Request\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos) << reply;
    EXPECT_EQ(reply.find("error_code"), std::string::npos) << "the library's own reply: " << reply;
  }
  auto whole = post(server, "/", png_);
  ASSERT_TRUE(whole);
  EXPECT_NE(whole->body.find("\"error_code\":0,"), std::string::npos) << whole->body;
  EXPECT_EQ(fake_->seen().size(), 1u) << "only the whole body is inferred";
  EXPECT_EQ(capture.count(el::Level::Debug, "Input image size: 640, 480"), 1);
}

// Without Content-Length or chunked coding the service waited 5 s for a body.
TEST_F(InferRoute, PostWithoutLengthHasAnEmptyBody) {
  RunningServer server({fake_});
  const auto start = std::chrono::steady_clock::now();
  const std::string reply = raw_exchange(server.port(), "POST / HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_LT(seconds_since(start), 2.0);
  EXPECT_NE(reply.find("{\"error_code\":8000001,\"message\":\"Failed to decode image: "), std::string::npos) << reply;
}

// A 512 MB body was held twice (1.09 GB); nothing limited it.
TEST_F(InferRoute, BodyCapRefusesBeforeReading) {
  const size_t cap = png_.size() + 10;
  RunningServer server({fake_}, "svc-42",
                       [cap](HttpServer& s) { s.set_limits(HttpServer::kDefaultMaxImagePixels, cap); });
  const std::string over = std::to_string(cap + 1);
  char chunk_size[32];
  std::snprintf(chunk_size, sizeof(chunk_size), "%zx", cap + 1);
  for (const std::string& request :
       {std::string("POST / HTTP/1.1\r\nContent-Length: 300000000\r\n\r\n"),  // nothing of it sent
        "POST / HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: " + over + "\r\n\r\n",
        "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n" + std::string(chunk_size) + "\r\n" +
            std::string(cap + 1, 'x') + "\r\n0\r\n\r\n"}) {
    RawClient client(server.port());
    client.send_text(request);
    const std::string reply = client.read_all(10);
    EXPECT_EQ(reply.rfind("HTTP/1.1 413 Payload Too Large\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos) << reply;
  }
  // Up to the cap the body is taken (trailing bytes after a PNG are ignored).
  auto at_cap = post(server, "/", png_ + std::string(10, '\0'));
  ASSERT_TRUE(at_cap);
  EXPECT_NE(at_cap->body.find("\"error_code\":0,"), std::string::npos) << at_cap->body;
  EXPECT_EQ(fake_->seen().size(), 1u);
}

// Content codings were matched by case and substring: "GZIP" and "x-gzip" bodies
// went undecoded to the image decoder, "abr" was taken for brotli (400), "x-foo"
// was never refused and a gzip body of two members (valid gzip) got 400.
TEST_F(InferRoute, ContentCodingsAreUndoneOrRefused) {
  const size_t cap = 1 << 20;
  RunningServer server({fake_}, "svc-42",
                       [cap](HttpServer& s) { s.set_limits(HttpServer::kDefaultMaxImagePixels, cap); });
  const std::string gz = deflated(png_, 31);
  const std::string half = png_.substr(0, png_.size() / 2);
  const std::string bomb = deflated("", 31, 64 * cap);  // 64 MiB of zeros
  ASSERT_LT(bomb.size(), cap);
  struct Case {
    std::vector<std::string> fields;  // Content-Encoding lines
    std::string body;
    int status;  // 200: inferred
  };
  for (const Case& c : {
           Case{{"GZIP"}, gz, 200},
           Case{{"x-gzip"}, gz, 200},
           Case{{"gzip, identity"}, gz, 200},
           Case{{" Identity ,, "}, png_, 200},
           Case{{"gzip"}, deflated(half, 31) + deflated(png_.substr(half.size()), 31), 200},
           Case{{"deflate"}, deflated(png_, 15), 200},
           Case{{"Br"}, brotli(png_), 200},
           Case{{"deflate, br"}, brotli(deflated(png_, 15)), 200},
           Case{{"gzip", "br"}, brotli(gz), 200},  // one list over two lines
           Case{{"x-foo"}, png_, 415},
           Case{{"abr"}, png_, 415},
           Case{{"gzip, x-foo"}, gz, 415},
           Case{{"gzip, gzip, gzip"}, deflated(deflated(gz, 31), 31), 415},
           Case{{"gzip"}, bomb, 413},
           Case{{"gzip, br"}, brotli(bomb), 413},  // each stage is capped
           Case{{"gzip"}, gz.substr(0, gz.size() - 4), 400},
           Case{{"gzip"}, gz + "trailing", 400},
           Case{{"deflate"}, deflated(png_, 15) + deflated(png_, 15), 400},  // one zlib stream only
           Case{{"br"}, png_, 400},
       }) {
    const std::string name = c.fields[0] + (c.fields.size() > 1 ? ", " + c.fields[1] : "");
    LogCapture capture;
    std::string request = "POST / HTTP/1.1\r\nHost: x\r\n";
    for (const std::string& field : c.fields) request += "Content-Encoding: " + field + "\r\n";
    request += "Content-Length: " + std::to_string(c.body.size()) + "\r\n\r\n" + c.body;
    const size_t inferred = fake_->seen().size();
    const std::string reply = raw_exchange(server.port(), request);
    EXPECT_EQ(reply.rfind("HTTP/1.1 " + std::to_string(c.status) + " ", 0), 0u) << name << ": " << reply;
    EXPECT_EQ(fake_->seen().size(), inferred + (c.status == 200 ? 1 : 0)) << name;
    if (c.status == 200) {
      EXPECT_NE(reply.find("\"error_code\":0,"), std::string::npos) << name << ": " << reply;
      continue;
    }
    EXPECT_NE(reply.find("Connection: close\r\n"), std::string::npos) << name << ": " << reply;
    EXPECT_EQ(reply.find("Accept-Encoding: gzip, deflate, br\r\n") != std::string::npos, c.status == 415)
        << name << ": " << reply;
    EXPECT_TRUE(wait_for_record(capture, el::Level::Info, "[access_log] \"POST /\" " + std::to_string(c.status)))
        << name;
  }
  // An empty body stays empty whatever its coding, as before codings were checked.
  const std::string empty =
      raw_exchange(server.port(), "POST / HTTP/1.1\r\nContent-Encoding: gzip\r\nContent-Length: 0\r\n\r\n");
  EXPECT_NE(empty.find("{\"error_code\":8000001,\"message\":\"Failed to decode image: "), std::string::npos) << empty;
}

// "?threshold=%FF" was echoed raw into "message"; labels come from model files.
TEST_F(InferRoute, RepliesAreValidUtf8) {
  fake_->records = {record("bad\xFF", 0.5f, 0, 0, 1, 1)};
  RunningServer server({fake_});
  auto threshold = post(server, "/?threshold=%FF%C3%A9", png_);
  ASSERT_TRUE(threshold);
  EXPECT_EQ(threshold->body,
            "{\"error_code\":8000001,\"message\":\"Illegal parameter 'threshold': \xEF\xBF\xBD\xC3\xA9\"}");
  auto label = post(server, "/", png_);
  ASSERT_TRUE(label);
  EXPECT_NE(label->body.find("\"label\":\"bad\xEF\xBF\xBD\""), std::string::npos) << label->body;
}

TEST_F(InferRoute, DecodedSizeIsLogged) {
  RunningServer server({fake_});
  LogCapture capture;
  post(server, "/", encode(cv::Mat(48, 64, CV_8UC1, cv::Scalar(7)), ".png"));
  EXPECT_EQ(capture.count(el::Level::Debug, "Input image size: 64, 48"), 1);
}

TEST_F(InferRoute, FailedInferencePassesItsCodeThrough) {
  for (int code : {-1, 1000000, 2000001}) {
    fake_->code = code;
    RunningServer server({fake_});
    auto r = post(server, "/", png_);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "{\"error_code\":" + std::to_string(code) + ",\"message\":\"Infer failed\"}");
  }
}

// An exception out of an engine used to reach the HTTP library, which answered
// 500 without a body; the lock and the service must survive it too.
TEST_F(InferRoute, ExceptionsAreContainedAndServiceGoesOn) {
  RunningServer server({fake_});
  LogCapture capture;

  fake_->throw_cv = true;
  auto thrown = post(server, "/", png_);
  ASSERT_TRUE(thrown);
  EXPECT_EQ(thrown->status, 200);
  EXPECT_EQ(thrown->body.rfind("{\"error_code\":1000000,\"message\":\"Infer failed: OpenCV(", 0), 0u) << thrown->body;
  EXPECT_NE(thrown->body.find("fake preprocessing failure"), std::string::npos);
  EXPECT_EQ(thrown->get_header_value("Access-Control-Allow-Origin"), "*");
  EXPECT_EQ(capture.count(el::Level::Error, "Infer failed: "), 1);

  // A probability that is not a number cannot be written as JSON.
  fake_->throw_cv = false;
  fake_->records = {record("red", std::numeric_limits<float>::quiet_NaN(), 0, 0, 1, 1)};
  auto nan = post(server, "/", png_);
  ASSERT_TRUE(nan);
  EXPECT_EQ(nan->body, "{\"error_code\":1000000,\"message\":\"Infer failed: \"}");

  fake_->records = {record("green", 0.75f, 0, 0, 1, 1)};
  auto after = post(server, "/", png_);
  ASSERT_TRUE(after);
  EXPECT_NE(after->body.find("\"label\":\"green\""), std::string::npos) << after->body;
}

TEST_F(InferRoute, ClassificationResultsHaveNoBox) {
  fake_->kind = norvane::MODEL_KIND_CLASSIFICATION;
  fake_->records = {record("blue", 1.0f, 0.1f, 0.1f, 0.2f, 0.2f)};
  RunningServer server({fake_});
  auto r = post(server, "/", png_);
  ASSERT_TRUE(r);
  EXPECT_NE(r->body.find(",\"error_code\":0,\"results\":[{\"confidence\":1,\"index\":0,\"label\":\"blue\","
                         "\"name\":\"blue\",\"score\":1}]}"),
            std::string::npos)
      << r->body;
}

TEST_F(InferRoute, InstancesAreChosenAtRandomAndNamedInVerboseLog) {
  auto other = std::make_shared<FakeBehaviour>();
  other->records = fake_->records;
  RunningServer server({fake_, other});
  LogCapture capture(1);
  for (int i = 0; i < 40; ++i) post(server, "/", png_);
  EXPECT_GT(fake_->seen().size(), 0u);
  EXPECT_GT(other->seen().size(), 0u);
  std::set<std::string> addresses;
  for (const auto& r : capture.records())
    if (r.message.rfind("using predictor ", 0) == 0) addresses.insert(r.message);
  EXPECT_EQ(addresses.size(), 2u);
}

}  // namespace
}  // namespace norvane_test
