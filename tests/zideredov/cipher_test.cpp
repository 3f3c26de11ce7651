// Cipher layer: known answers for AES-128 and Base64, and the authenticated
// formats' refusal of anything but the exact bytes they produced.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "zideredov/zideredov.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes from_hex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes random_bytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<unsigned char>(gen());
  return out;
}

const char kKey[] = "0123456789abcdef";
const char kOtherKey[] = "0123456789abcdeg";

std::string b64(const std::string& text) {
  char* encoded = b64_encode(reinterpret_cast<const unsigned char*>(text.data()), static_cast<long>(text.size()));
  std::string result = encoded ? encoded : "<null>";
  std::free(encoded);
  return result;
}

// The two authenticated formats behind one interface, so every property is
// checked on both.
struct Format {
  const char* name;
  std::function<long(const Bytes&, const char*, Bytes&)> seal;
  std::function<long(const Bytes&, const char*, Bytes&)> open;
};

std::vector<Format> formats() {
  return {
      {"model",
       [](const Bytes& in, const char* key, Bytes& out) {
         out.assign(in.size() + ZDV_OVERHEAD, 0);
         long n = xor_encrypt_content(in.data(), static_cast<long>(in.size()), key, out.data());
         if (n > 0) out.resize(static_cast<size_t>(n));
         return n;
       },
       [](const Bytes& in, const char* key, Bytes& out) {
         out.assign(in.size() + 1, 0xEE);
         return xor_decrypt_content(in.data(), static_cast<long>(in.size()), key, out.data());
       }},
      {"resource",
       [](const Bytes& in, const char* key, Bytes& out) {
         out.assign(in.size() + 32, 0);
         long n = edge_inner_security_encrypt_v1(in.data(), static_cast<long>(in.size()), key, out.data(), 7);
         if (n > 0) out.resize(static_cast<size_t>(n));
         return n;
       },
       [](const Bytes& in, const char* key, Bytes& out) {
         out.assign(in.size() + 32, 0xEE);
         int mode = -1;
         return edge_inner_security_decrypt_v1(in.data(), static_cast<long>(in.size()), key, out.data(), &mode);
       }},
  };
}

TEST(AesEcbZeroPadding, MatchesFips197Example) {
  Bytes key = from_hex("000102030405060708090a0b0c0d0e0f");
  Bytes plain = from_hex("00112233445566778899aabbccddeeff");
  Bytes out(plain.size() + 16, 0);
  long n = AES128_ECB_encrypt_paddingZero(plain.data(), 16, reinterpret_cast<const char*>(key.data()), out.data());
  ASSERT_EQ(n, 16);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 16), from_hex("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

TEST(AesEcbZeroPadding, PadsWithZerosOnlyUpToTheNextBlock) {
  Bytes plain = random_bytes(45, 1);
  for (long len : {0L, 1L, 15L, 16L, 17L, 32L, 45L}) {
    Bytes out(static_cast<size_t>(len) + 16, 0);
    long n = AES128_ECB_encrypt_paddingZero(plain.data(), len, kKey, out.data());
    EXPECT_EQ(n, (len + 15) / 16 * 16) << len;

    // Same result as enciphering the explicitly zero-padded text.
    Bytes padded(plain.begin(), plain.begin() + len);
    padded.resize(static_cast<size_t>(n), 0);
    Bytes ref(padded.size() + 16, 0);
    ASSERT_EQ(AES128_ECB_encrypt_paddingZero(padded.data(), n, kKey, ref.data()), n);
    EXPECT_EQ(0, std::memcmp(out.data(), ref.data(), static_cast<size_t>(n))) << len;
  }
}

TEST(AesEcbZeroPadding, EnciphersEveryBlockOnItsOwn) {
  Bytes block = random_bytes(16, 2);
  Bytes two = block;
  two.insert(two.end(), block.begin(), block.end());
  Bytes out(48, 0);
  ASSERT_EQ(AES128_ECB_encrypt_paddingZero(two.data(), 32, kKey, out.data()), 32);
  EXPECT_EQ(0, std::memcmp(out.data(), out.data() + 16, 16));
  EXPECT_NE(0, std::memcmp(out.data(), block.data(), 16));
}

TEST(Base64, MatchesRfc4648Vectors) {
  EXPECT_EQ(b64(""), "");
  EXPECT_EQ(b64("f"), "Zg==");
  EXPECT_EQ(b64("fo"), "Zm8=");
  EXPECT_EQ(b64("foo"), "Zm9v");
  EXPECT_EQ(b64("foob"), "Zm9vYg==");
  EXPECT_EQ(b64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(b64("foobar"), "Zm9vYmFy");
}

TEST(Base64, UsesTheWholeAlphabetForHighBytes) {
  EXPECT_EQ(b64(std::string("\xfb\xff\xbf", 3)), "+/+/");
  EXPECT_EQ(b64(std::string("\0\0\0", 3)), "AAAA");
}

TEST(AuthenticatedFormats, RoundTripOverLengths) {
  for (const auto& f : formats()) {
    for (size_t len : {1u, 15u, 16u, 17u, 1000u, 70000u}) {
      Bytes plain = random_bytes(len, static_cast<unsigned>(len));
      Bytes sealed, opened;
      ASSERT_EQ(f.seal(plain, kKey, sealed), static_cast<long>(len) + ZDV_OVERHEAD) << f.name << " " << len;
      ASSERT_EQ(f.open(sealed, kKey, opened), static_cast<long>(len)) << f.name << " " << len;
      EXPECT_EQ(Bytes(opened.begin(), opened.begin() + static_cast<long>(len)), plain) << f.name << " " << len;
    }
  }
}

TEST(AuthenticatedFormats, EmptyPlainTextSealsToHeaderAndOpensToNothing) {
  for (const auto& f : formats()) {
    Bytes sealed, opened;
    EXPECT_EQ(f.seal(Bytes(), kKey, sealed), ZDV_OVERHEAD) << f.name;
    EXPECT_EQ(f.open(sealed, kKey, opened), 0) << f.name;
  }
}

TEST(AuthenticatedFormats, SameTextSealsDifferentlyEachTime) {
  for (const auto& f : formats()) {
    Bytes plain = random_bytes(64, 3), a, b;
    f.seal(plain, kKey, a);
    f.seal(plain, kKey, b);
    EXPECT_NE(a, b) << f.name;
  }
}

TEST(AuthenticatedFormats, RejectEveryFlippedByteAndWipeTheOutput) {
  for (const auto& f : formats()) {
    Bytes plain = random_bytes(40, 4), sealed, opened;
    f.seal(plain, kKey, sealed);
    for (size_t i = 0; i < sealed.size(); ++i) {
      Bytes altered = sealed;
      altered[i] ^= 0x01;
      long n = f.open(altered, kKey, opened);
      EXPECT_LT(n, 0) << f.name << " byte " << i;
      // Nothing of the plain text may be left in the caller's buffer.
      EXPECT_EQ(opened.end(), std::search(opened.begin(), opened.end(), plain.begin(), plain.begin() + 8))
          << f.name << " byte " << i;
    }
  }
}

TEST(AuthenticatedFormats, RejectTruncatedAndExtendedInput) {
  for (const auto& f : formats()) {
    Bytes plain = random_bytes(100, 5), sealed, opened;
    f.seal(plain, kKey, sealed);
    for (size_t keep : {size_t{0}, size_t{1}, size_t{31}, size_t{32}, sealed.size() - 16, sealed.size() - 1}) {
      Bytes cut(sealed.begin(), sealed.begin() + static_cast<long>(keep));
      EXPECT_LT(f.open(cut, kKey, opened), 0) << f.name << " kept " << keep;
    }
    Bytes longer = sealed;
    longer.push_back(0);
    EXPECT_LT(f.open(longer, kKey, opened), 0) << f.name;
  }
}

TEST(AuthenticatedFormats, RejectWrongKeyAndTheOtherFormat) {
  auto fs = formats();
  Bytes plain = random_bytes(50, 6), opened;
  for (size_t i = 0; i < fs.size(); ++i) {
    Bytes sealed;
    fs[i].seal(plain, kKey, sealed);
    EXPECT_LT(fs[i].open(sealed, kOtherKey, opened), 0) << fs[i].name;
    EXPECT_LT(fs[1 - i].open(sealed, kKey, opened), 0) << fs[i].name << " opened as " << fs[1 - i].name;
  }
}

TEST(ResourceFormat, GivesBackTheBoundMode) {
  Bytes plain = random_bytes(10, 7);
  for (int mode : {0, 1, -5, 123456}) {
    Bytes sealed(plain.size() + 32), opened(plain.size() + 64);
    long n = edge_inner_security_encrypt_v1(plain.data(), 10, kKey, sealed.data(), mode);
    ASSERT_GT(n, 0);
    int got = 999;
    ASSERT_EQ(edge_inner_security_decrypt_v1(sealed.data(), n, kKey, opened.data(), &got), 10);
    EXPECT_EQ(got, mode);
  }
}

TEST(CipherArguments, BadArgumentsFailInsteadOfCrashing) {
  unsigned char buf[64] = {};
  int mode = 0;
  EXPECT_LT(xor_encrypt_content(buf, -1, kKey, buf + 32), 0);
  EXPECT_LT(xor_encrypt_content(nullptr, 4, kKey, buf), 0);
  EXPECT_LT(xor_decrypt_content(buf, 32, nullptr, buf + 32), 0);
  EXPECT_LT(edge_inner_security_decrypt_v1(nullptr, 32, kKey, buf, &mode), 0);
  EXPECT_LT(AES128_ECB_encrypt_paddingZero(buf, 16, nullptr, buf + 16), 0);
  EXPECT_EQ(b64_encode(nullptr, 3), nullptr);
}

}  // namespace
