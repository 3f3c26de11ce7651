#include "norvane/security/keys.h"

#include <cstdint>

namespace norvane {
namespace keys {
namespace {

// Each key is kept only as a scrambled table: byte i of the key is
// rotl3(table[i]) ^ (salt + i * 0x9D) (mod 256). The tables and salts alone do not
// show the key bytes, so a scan of the binary for 16-byte strings finds none of them.
constexpr int kKeyLen = 16;

struct Scrambled {
  uint8_t salt;
  uint8_t table[kKeyLen];
};

constexpr Scrambled kModelType1 = {0x5A, {0x2A, 0x24, 0xC7, 0xA3, 0x78, 0xE2, 0xD0, 0x4E,
                                          0x0F, 0xED, 0x85, 0xF0, 0x2D, 0x49, 0xC1, 0xE6}};
constexpr Scrambled kModelType2 = {0xC3, {0x18, 0x94, 0x36, 0x9B, 0xD0, 0xF0, 0xF1, 0xAA,
                                          0x14, 0x5D, 0x38, 0xC1, 0xBD, 0x75, 0x01, 0x51}};
constexpr Scrambled kResource = {0x17, {0xAB, 0x8F, 0xC3, 0xEC, 0x40, 0xE4, 0x94, 0xD2,
                                        0x86, 0xCC, 0x51, 0x08, 0xA1, 0x36, 0x3C, 0x60}};
constexpr Scrambled kUpload = {0x8E, {0xA8, 0x3C, 0x63, 0x6E, 0x67, 0x5C, 0x27, 0xA9,
                                      0xBF, 0x54, 0x93, 0xD8, 0xB9, 0x07, 0x24, 0x3E}};

std::string assemble(const Scrambled& s) {
  std::string key(kKeyLen, '\0');
  for (int i = 0; i < kKeyLen; ++i) {
    // volatile keeps the compiler from folding the key into a constant in the binary.
    volatile uint8_t t = s.table[i];
    uint8_t rotated = static_cast<uint8_t>((t << 3) | (t >> 5));
    key[i] = static_cast<char>(rotated ^ static_cast<uint8_t>(s.salt + i * 0x9D));
  }
  return key;
}

}  // namespace

std::string model_key(long enc_type) {
  switch (enc_type) {
    case 1:
      return assemble(kModelType1);
    case 2:
      return assemble(kModelType2);
    default:
      return std::string();
  }
}

std::string resource_key() { return assemble(kResource); }

std::string upload_key() { return assemble(kUpload); }

}  // namespace keys
}  // namespace norvane
