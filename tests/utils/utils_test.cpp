// Utilities: folders, files, strings, time, random numbers and the half-precision
// conversion. Files live in per-test temporary folders.

#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <thread>

#include "norvane/utils.h"
#include "support/temp_dir.h"
#include "zideredov/zideredov.h"

namespace {

using norvane::Utils;
namespace utils = norvane::utils;

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 0777) : 0;
}

TEST(Mkdir, CreatesAllParentsOwnerOnly) {
  norvane_test::TempDir dir;
  const std::string leaf = dir.path() + "/a/b/c/";
  EXPECT_EQ(utils::mkdir(leaf), 0);
  for (const char* sub : {"/a", "/a/b", "/a/b/c"}) {
    EXPECT_TRUE(utils::folder_exists(dir.path() + sub)) << sub;
    EXPECT_EQ(mode_of(dir.path() + sub), 0700u) << sub;
  }
  EXPECT_EQ(utils::mkdir(leaf), 0);  // already there
}

TEST(Mkdir, FailsWhereARegularFileStands) {
  norvane_test::TempDir dir;
  const std::string file = dir.file("plain");
  ASSERT_EQ(utils::write_file_binary(file, "x"), 0);
  EXPECT_EQ(utils::mkdir(file), -1);
  EXPECT_EQ(utils::mkdir(file + "/below"), -1);
  EXPECT_FALSE(utils::folder_exists(file + "/below"));
  EXPECT_EQ(utils::mkdir(""), -1);
}

TEST(Mkdir, UsesOnlyTheFirst255Characters) {
  norvane_test::TempDir dir;
  std::string path = dir.path() + "/";
  while (path.size() < 300) path += "d";
  ASSERT_EQ(utils::mkdir(path), 0);
  EXPECT_TRUE(utils::folder_exists(path.substr(0, 255)));
  EXPECT_FALSE(utils::folder_exists(path));
}

TEST(Files, BinaryRoundTripKeepsZeroBytes) {
  norvane_test::TempDir dir;
  const std::string data("a\0b\xff\n", 5);
  ASSERT_EQ(utils::write_file_binary(dir.file("f"), data), 0);
  EXPECT_EQ(utils::read_file_binary(dir.file("f")), data);
  EXPECT_TRUE(utils::file_exists(dir.file("f")));
  EXPECT_FALSE(utils::folder_exists(dir.file("f")));
  EXPECT_FALSE(utils::file_exists(dir.path()));
  EXPECT_EQ(utils::rmfile(dir.file("f")), 0);
  EXPECT_EQ(utils::rmfile(dir.file("f")), -1);
}

TEST(Files, MissingFileLeavesOutputUntouched) {
  norvane_test::TempDir dir;
  std::string out = "before";
  EXPECT_EQ(utils::read_file_binary(dir.file("none"), out), -1);
  EXPECT_EQ(out, "before");
  EXPECT_EQ(utils::read_file_binary(dir.file("none")), "");
  EXPECT_EQ(utils::write_file_binary(dir.file("no/such/dir"), "x"), -1);
  EXPECT_TRUE(utils::read_file_lines(dir.file("none")).empty());
}

// Regression: a path that opens but cannot be read (a directory) threw
// std::ios_base::failure from the stream the readers used.
TEST(Files, DirectoryReadsAsUnreadableWithoutThrowing) {
  norvane_test::TempDir dir;
  std::string out = "before";
  EXPECT_NO_THROW(EXPECT_EQ(utils::read_file_binary(dir.path(), out), -1));
  EXPECT_EQ(out, "before");
  EXPECT_NO_THROW(EXPECT_EQ(utils::read_file_binary(dir.path()), ""));
  EXPECT_NO_THROW(EXPECT_TRUE(utils::read_file_lines(dir.path()).empty()));
  // Larger than one read call, so the pieces must join up.
  std::string big(200000, 'x');
  for (size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>(i);
  ASSERT_EQ(utils::write_file_binary(dir.file("big"), big), 0);
  EXPECT_EQ(utils::read_file_binary(dir.file("big")), big);
}

TEST(Files, LinesKeepCarriageReturnAndUnterminatedLastLine) {
  norvane_test::TempDir dir;
  ASSERT_EQ(utils::write_file_binary(dir.file("l"), "cat\r\n\ndog"), 0);
  EXPECT_EQ(utils::read_file_lines(dir.file("l")), (std::vector<std::string>{"cat\r", "", "dog"}));
  ASSERT_EQ(utils::write_file_binary(dir.file("e"), ""), 0);
  EXPECT_TRUE(utils::read_file_lines(dir.file("e")).empty());
}

TEST(Strings, PathJoinAddsExactlyOneSlash) {
  EXPECT_EQ(utils::file_path_join("dir", "conf.json"), "dir/conf.json");
  EXPECT_EQ(utils::file_path_join("", "x"), "/x");
  EXPECT_EQ(utils::file_path_join("dir/", "x"), "dir//x");
  std::string long_part(5000, 'p');
  EXPECT_EQ(utils::file_path_join(long_part, "x").size(), 5002u);
}

TEST(Strings, SplitReadsPiecesLikeLineReading) {
  using V = std::vector<std::string>;
  EXPECT_EQ(utils::str_split("a,,b", ','), (V{"a", "", "b"}));
  EXPECT_EQ(utils::str_split(",a", ','), (V{"", "a"}));
  EXPECT_EQ(utils::str_split("a,b,", ','), (V{"a", "b"}));
  EXPECT_TRUE(utils::str_split("", ',').empty());
}

TEST(Strings, JoinAndLower) {
  EXPECT_EQ(utils::str_join(std::vector<int>{1, 3, 224, 224}, ","), "1,3,224,224");
  EXPECT_EQ(utils::str_join(std::vector<int>{}, ","), "");
  EXPECT_EQ(utils::str_lower("AbC-9\xC4"), "abc-9\xC4");
}

TEST(Env, SetButEmptyIsNotTheDefault) {
  setenv("NORVANE_TEST_EMPTY", "", 1);
  unsetenv("NORVANE_TEST_UNSET");
  EXPECT_EQ(utils::env("NORVANE_TEST_EMPTY", "dflt"), "");
  EXPECT_EQ(utils::env("NORVANE_TEST_UNSET", "dflt"), "dflt");
  unsetenv("NORVANE_TEST_EMPTY");
}

TEST(Time, FormatsAndTimestampsAgree) {
  EXPECT_EQ(utils::get_time("%Y-%m-%d").size(), 10u);
  EXPECT_EQ(utils::get_time(std::string(70, 'x')), "");  // would need more than 63 characters
  int64_t ms = utils::get_timestamp_ms();
  int64_t ns = utils::get_timestamp_ns();
  EXPECT_LE(ms, ns / 1000000);
  EXPECT_LT(ns / 1000000 - ms, 1000);
}

std::atomic<int> g_signals{0};
void count_signal(int) { ++g_signals; }

TEST(Time, SleepResumesAfterSignals) {
  struct sigaction action, old;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = count_signal;  // no SA_RESTART: nanosleep returns EINTR
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
  g_signals = 0;

  pthread_t sleeper = pthread_self();
  std::atomic<bool> done{false};
  std::thread interrupter([&] {
    for (int i = 0; i < 5 && !done; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      if (!done) pthread_kill(sleeper, SIGUSR1);
    }
  });
  auto start = std::chrono::steady_clock::now();
  utils::sleep_ms(300);
  auto elapsed = std::chrono::steady_clock::now() - start;
  done = true;
  interrupter.join();
  sigaction(SIGUSR1, &old, nullptr);

  EXPECT_GT(g_signals.load(), 0);
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 300);
}

TEST(Random, StaysInRangeAndCoversIt) {
  for (int i = 0; i < 100; ++i) EXPECT_EQ(utils::rand<unsigned long>(0, 0), 0u);
  int counts[3] = {0, 0, 0};
  const int draws = 30000;
  for (int i = 0; i < draws; ++i) {
    unsigned long lo = 5, hi = 7;
    unsigned long v = utils::rand(lo, hi);  // the plain overload
    ASSERT_GE(v, 5u);
    ASSERT_LE(v, 7u);
    ++counts[v - 5];
  }
  for (int c : counts) EXPECT_NEAR(c, draws / 3, draws / 30);
  unsigned long top = std::numeric_limits<unsigned long>::max();
  EXPECT_NE(utils::rand<unsigned long>(0, top), utils::rand<unsigned long>(0, top));
}

bool all_digits(const std::string& s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

TEST(Random, UuidIsMillisecondsDashEightDigits) {
  for (int i = 0; i < 50; ++i) {
    std::string id = utils::generate_uuid1();
    size_t dash = id.find('-');
    ASSERT_NE(dash, std::string::npos) << id;
    std::string ms = id.substr(0, dash), second = id.substr(dash + 1);
    ASSERT_TRUE(all_digits(ms)) << id;
    ASSERT_TRUE(all_digits(second) && second.size() == 8) << id;
    EXPECT_GE(std::stol(second), 10000000);
    EXPECT_LE(std::stoll(ms), utils::get_timestamp_ms());
  }
}

TEST(CompareAtPrecision, TruncatesBeforeComparing) {
  EXPECT_FALSE(Utils::cmp_lt(0.0005f, 0.0009f, 3));
  EXPECT_FALSE(Utils::cmp_gt(1.0014f, 1.001f, 3));
  EXPECT_FALSE(Utils::cmp_lt(-0.0005f, 0.0f, 3));
  EXPECT_TRUE(Utils::cmp_lt(0.5f, 0.6f, 3));
  EXPECT_TRUE(Utils::cmp_gt(1.002f, 1.0f, 3));
  EXPECT_TRUE(Utils::cmp_lt(-2.0f, -1.0f, 0));
  EXPECT_TRUE(Utils::cmp_gt(3e38f, 1e38f, 3));  // products beyond the 64-bit range still order
}

TEST(LocalFolder, CreatedUnderTheHomeWithModelCache) {
  norvane_test::TempDir home;
  zideredov::set_local_folder_relative(".orvath/norvane/vornax");
  Utils::set_sdk_local_folder_home(home.path());
  const std::string folder = home.path() + "/.orvath/norvane/vornax";
  EXPECT_EQ(Utils::get_sdk_local_folder(), folder);
  EXPECT_EQ(mode_of(folder), 0700u);
  EXPECT_EQ(Utils::get_sdk_local_folder_model_cache(), folder + "/mcache");
  EXPECT_TRUE(utils::folder_exists(folder + "/mcache"));
  Utils::set_sdk_local_folder_home("");
}

TEST(AesBase64, EnciphersThenEncodes) {
  // FIPS-197 example: the cipher block 69c4e0d8... in Base64.
  const unsigned char key_bytes[17] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0};
  char key[17];
  std::memcpy(key, key_bytes, sizeof(key));
  const unsigned char plain_bytes[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                         0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  std::string out = "stale";
  ASSERT_EQ(Utils::aes_b64_encode(std::string(reinterpret_cast<const char*>(plain_bytes), 16), out, key), 0);
  EXPECT_EQ(out, "acTg2Gp7BDDYzbeAcLTFWg==");
  ASSERT_EQ(Utils::aes_b64_encode(std::string(17, 'a'), out, key), 0);
  EXPECT_EQ(out.size(), 44u);  // two blocks
  ASSERT_EQ(Utils::aes_b64_encode("", out, key), 0);
  EXPECT_EQ(out, "");
}

uint32_t bits_of(float f) {
  uint32_t b;
  std::memcpy(&b, &f, sizeof(b));
  return b;
}

float half_to_float(uint16_t h) {
  float f;
  norvane::fp16tofloat(&f, reinterpret_cast<uint8_t*>(&h), 1);
  return f;
}

TEST(HalfPrecision, KnownValues) {
  EXPECT_EQ(norvane::float2half(bits_of(1.0f)), 0x3C00);
  EXPECT_EQ(norvane::float2half(bits_of(65504.0f)), 0x7BFF);
  EXPECT_EQ(norvane::float2half(bits_of(65520.0f)), 0x7C00);
  EXPECT_EQ(norvane::float2half(bits_of(std::ldexp(1.0f, -24))), 0x0001);
  EXPECT_EQ(norvane::float2half(bits_of(std::ldexp(1.0f, -25))), 0x0001);
  EXPECT_EQ(norvane::float2half(bits_of(std::ldexp(1.0f, -26))), 0x0000);
  EXPECT_EQ(norvane::float2half(bits_of(-0.0f)), 0x8000);
  EXPECT_EQ(norvane::float2half(bits_of(-std::numeric_limits<float>::infinity())), 0xFC00);
  EXPECT_EQ(norvane::float2half(0x7F800001u), 0x7C01);  // NaN whose payload would vanish stays NaN
  EXPECT_EQ(half_to_float(0x0001), std::ldexp(1.0f, -24));
  EXPECT_TRUE(std::isinf(half_to_float(0x7C00)));
  EXPECT_EQ(bits_of(half_to_float(0x8000)), 0x80000000u);
}

TEST(HalfPrecision, EveryHalfRoundTripsAndMidpointsRoundAway) {
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    const uint16_t half = static_cast<uint16_t>(h);
    float f = half_to_float(half);
    if (std::isnan(f)) {
      EXPECT_TRUE(std::isnan(half_to_float(norvane::float2half(bits_of(f))))) << h;
      continue;
    }
    ASSERT_EQ(norvane::float2half(bits_of(f)), half) << h;
    // Half-way to the next larger magnitude rounds away from zero.
    if ((h & 0x7FFF) < 0x7BFF) {
      float next = half_to_float(static_cast<uint16_t>(h + 1));
      float mid = (f + next) / 2;  // exact in single precision
      ASSERT_EQ(norvane::float2half(bits_of(mid)), static_cast<uint16_t>(h + 1)) << h;
    }
  }
}

TEST(HalfPrecision, ArrayConversionMatchesSingleValues) {
  float src[4] = {0.5f, -2.0f, 1e-7f, 70000.0f};
  uint8_t halves[8];
  norvane::floattofp16(halves, src, 4);
  float back[4];
  norvane::fp16tofloat(back, halves, 4);
  EXPECT_EQ(back[0], 0.5f);
  EXPECT_EQ(back[1], -2.0f);
  EXPECT_EQ(back[2], std::ldexp(2.0f, -24));  // 1e-7 is nearest to two subnormal steps
  EXPECT_TRUE(std::isinf(back[3]));
}

}  // namespace
