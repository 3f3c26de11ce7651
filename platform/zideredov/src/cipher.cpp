// Cipher routines over OpenSSL libcrypto.
//
// The two authenticated formats (model files, resource store) are AES-128-GCM:
//   [4-byte header][12-byte random nonce][cipher text, as long as the plain][16-byte tag]
// 4 + 12 + 16 = ZDV_OVERHEAD. The header and a per-format label are bound as
// authenticated data, so a model file never opens as a resource (or back) and an
// altered header or mode is caught like altered cipher text.
//   model file header: 'Z' 'D' 'M' 1
//   resource header:   the mode, 32-bit little-endian
//
// Decryption returns a negative value for every failure and 0 only for an
// authentic empty plain text; on failure the output buffer is wiped, so a caller
// that ignores the result still never reads unauthenticated plain bytes.

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "zideredov/zideredov.h"

namespace {

constexpr long kHeaderLen = 4;
constexpr long kNonceLen = 12;
constexpr long kTagLen = 16;
constexpr long kKeyLen = 16;
constexpr long kAesBlock = 16;
// EVP takes int lengths: long inputs go through in pieces of this size.
constexpr long kChunk = 1L << 30;

static_assert(kHeaderLen + kNonceLen + kTagLen == ZDV_OVERHEAD, "format overhead must match ZDV_OVERHEAD");

// Failure results of the authenticated formats.
constexpr long kErrArgs = -1;
constexpr long kErrFormat = -2;  // too short or wrong header
constexpr long kErrAuth = -3;    // wrong key, altered or truncated
constexpr long kErrCrypto = -4;  // libcrypto refused

const unsigned char kModelHeader[kHeaderLen] = {'Z', 'D', 'M', 1};
const char kModelLabel[] = "zideredov/model/v1";
const char kResourceLabel[] = "zideredov/resource/v1";

struct CtxFree {
  void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CtxPtr = std::unique_ptr<EVP_CIPHER_CTX, CtxFree>;

// Runs EVP_*Update over a long buffer in int-sized pieces.
template <typename Update>
bool update_all(EVP_CIPHER_CTX* ctx, Update update, const unsigned char* in, long len, unsigned char* out) {
  for (long done = 0; done < len;) {
    int piece = static_cast<int>(len - done < kChunk ? len - done : kChunk);
    int written = 0;
    if (update(ctx, out + done, &written, in + done, piece) != 1 || written != piece) return false;
    done += piece;
  }
  return true;
}

bool add_aad(EVP_CIPHER_CTX* ctx, bool encrypt, const unsigned char* data, int len) {
  int ignored = 0;
  return encrypt ? EVP_EncryptUpdate(ctx, nullptr, &ignored, data, len) == 1
                 : EVP_DecryptUpdate(ctx, nullptr, &ignored, data, len) == 1;
}

// Seals plain into out as header | nonce | cipher | tag. Returns the total length.
long gcm_seal(const unsigned char* in, long len, const char* key, unsigned char* out,
              const unsigned char* header, const char* label) {
  if ((in == nullptr && len > 0) || len < 0 || key == nullptr || out == nullptr) return kErrArgs;
  if (len > LONG_MAX - ZDV_OVERHEAD) return kErrArgs;
  unsigned char* nonce = out + kHeaderLen;
  unsigned char* body = nonce + kNonceLen;
  unsigned char* tag = body + len;
  if (RAND_bytes(nonce, kNonceLen) != 1) return kErrCrypto;

  CtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return kErrCrypto;
  const auto* k = reinterpret_cast<const unsigned char*>(key);
  int final_len = 0;
  bool ok = EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceLen, nullptr) == 1 &&
            EVP_EncryptInit_ex(ctx.get(), nullptr, nullptr, k, nonce) == 1 &&
            add_aad(ctx.get(), true, reinterpret_cast<const unsigned char*>(label),
                    static_cast<int>(std::strlen(label))) &&
            add_aad(ctx.get(), true, header, kHeaderLen) &&
            update_all(ctx.get(), EVP_EncryptUpdate, in, len, body) &&
            EVP_EncryptFinal_ex(ctx.get(), tag, &final_len) == 1 &&
            EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_GET_TAG, kTagLen, tag) == 1;
  if (!ok) {
    OPENSSL_cleanse(out, static_cast<size_t>(len + ZDV_OVERHEAD));
    return kErrCrypto;
  }
  std::memcpy(out, header, kHeaderLen);
  return len + ZDV_OVERHEAD;
}

// Opens a sealed buffer whose header the caller has already checked. Writes
// len - ZDV_OVERHEAD bytes to out and returns that count, or a negative failure.
long gcm_open(const unsigned char* in, long len, const char* key, unsigned char* out, const char* label) {
  const long plain_len = len - ZDV_OVERHEAD;
  const unsigned char* nonce = in + kHeaderLen;
  const unsigned char* body = nonce + kNonceLen;
  const unsigned char* tag = body + plain_len;
  unsigned char tag_copy[kTagLen];
  std::memcpy(tag_copy, tag, kTagLen);  // the ctrl call takes a non-const pointer

  CtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return kErrCrypto;
  const auto* k = reinterpret_cast<const unsigned char*>(key);
  bool set_up = EVP_DecryptInit_ex(ctx.get(), EVP_aes_128_gcm(), nullptr, nullptr, nullptr) == 1 &&
                EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_IVLEN, kNonceLen, nullptr) == 1 &&
                EVP_DecryptInit_ex(ctx.get(), nullptr, nullptr, k, nonce) == 1 &&
                add_aad(ctx.get(), false, reinterpret_cast<const unsigned char*>(label),
                        static_cast<int>(std::strlen(label))) &&
                add_aad(ctx.get(), false, in, kHeaderLen) &&
                EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_GCM_SET_TAG, kTagLen, tag_copy) == 1;
  if (!set_up) return kErrCrypto;
  bool body_ok = update_all(ctx.get(), EVP_DecryptUpdate, body, plain_len, out);
  int final_len = 0;
  bool authentic = body_ok && EVP_DecryptFinal_ex(ctx.get(), out + plain_len, &final_len) == 1;
  if (!authentic) {
    // The plain bytes were produced before the tag was checked: do not leave them.
    if (plain_len > 0) OPENSSL_cleanse(out, static_cast<size_t>(plain_len));
    return body_ok ? kErrAuth : kErrCrypto;
  }
  return plain_len;
}

bool open_args_ok(const unsigned char* in, long len, const char* key, const unsigned char* out) {
  return in != nullptr && key != nullptr && out != nullptr && len >= 0;
}

void put_le32(unsigned char* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t get_le32(const unsigned char* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(p[i]) << (8 * i);
  return v;
}

const char kB64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

extern "C" {

long xor_encrypt_content(const unsigned char* in, long len, const char* key, unsigned char* out) {
  return gcm_seal(in, len, key, out, kModelHeader, kModelLabel);
}

long xor_decrypt_content(const unsigned char* in, long len, const char* key, unsigned char* out) {
  if (!open_args_ok(in, len, key, out)) return kErrArgs;
  if (len < ZDV_OVERHEAD || std::memcmp(in, kModelHeader, kHeaderLen) != 0) return kErrFormat;
  return gcm_open(in, len, key, out, kModelLabel);
}

long edge_inner_security_encrypt_v1(const unsigned char* in, long len, const char* key, unsigned char* out,
                                    int mode) {
  unsigned char header[kHeaderLen];
  put_le32(header, static_cast<uint32_t>(mode));
  return gcm_seal(in, len, key, out, header, kResourceLabel);
}

long edge_inner_security_decrypt_v1(const unsigned char* in, long len, const char* key, unsigned char* out,
                                    int* mode) {
  if (!open_args_ok(in, len, key, out)) return kErrArgs;
  if (len < ZDV_OVERHEAD) return kErrFormat;
  long n = gcm_open(in, len, key, out, kResourceLabel);
  if (n >= 0 && mode != nullptr) *mode = static_cast<int>(get_le32(in));
  return n;
}

long AES128_ECB_encrypt_paddingZero(const unsigned char* in, long len, const char* key, unsigned char* out) {
  if ((in == nullptr && len > 0) || len < 0 || key == nullptr || out == nullptr) return -1;
  if (len == 0) return 0;
  if (len > LONG_MAX - kAesBlock) return -1;
  const long padded = (len + kAesBlock - 1) / kAesBlock * kAesBlock;
  // Pad in the output itself, then encipher in place (EVP allows out == in).
  std::memmove(out, in, static_cast<size_t>(len));
  std::memset(out + len, 0, static_cast<size_t>(padded - len));

  CtxPtr ctx(EVP_CIPHER_CTX_new());
  if (!ctx) return -1;
  int final_len = 0;
  bool ok = EVP_EncryptInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr,
                               reinterpret_cast<const unsigned char*>(key), nullptr) == 1 &&
            EVP_CIPHER_CTX_set_padding(ctx.get(), 0) == 1 &&
            update_all(ctx.get(), EVP_EncryptUpdate, out, padded, out) &&
            EVP_EncryptFinal_ex(ctx.get(), out + padded, &final_len) == 1;
  if (!ok) {
    OPENSSL_cleanse(out, static_cast<size_t>(padded));
    return -1;
  }
  return padded;
}

char* b64_encode(const unsigned char* in, long len) {
  if ((in == nullptr && len > 0) || len < 0) return nullptr;
  const unsigned long groups = (static_cast<unsigned long>(len) + 2) / 3;
  char* text = static_cast<char*>(std::malloc(groups * 4 + 1));
  if (text == nullptr) return nullptr;
  char* p = text;
  long i = 0;
  for (; i + 3 <= len; i += 3) {
    uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    *p++ = kB64Alphabet[(v >> 18) & 63];
    *p++ = kB64Alphabet[(v >> 12) & 63];
    *p++ = kB64Alphabet[(v >> 6) & 63];
    *p++ = kB64Alphabet[v & 63];
  }
  const long rest = len - i;
  if (rest > 0) {
    uint32_t v = uint32_t{in[i]} << 16;
    if (rest == 2) v |= uint32_t{in[i + 1]} << 8;
    *p++ = kB64Alphabet[(v >> 18) & 63];
    *p++ = kB64Alphabet[(v >> 12) & 63];
    *p++ = rest == 2 ? kB64Alphabet[(v >> 6) & 63] : '=';
    *p++ = '=';
  }
  *p = '\0';
  return text;
}

}  // extern "C"
