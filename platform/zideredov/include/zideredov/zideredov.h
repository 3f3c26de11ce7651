#pragma once

// Cipher and local-folder library interface. Output buffers belong to the caller;
// every length is a byte count; keys are 16 bytes.

#include <string>

extern "C" {

// Model files (encipherment types 1 and 2). out has room for len bytes.
// Returns the plain length, negative on failure (wrong key, truncated, altered).
long xor_decrypt_content(const unsigned char* in, long len, const char* key, unsigned char* out);
// The enciphering counterpart, for packaging tools and tests. out has room for
// len + ZDV_OVERHEAD bytes. Returns the enciphered length, <= 0 on failure.
long xor_encrypt_content(const unsigned char* in, long len, const char* key, unsigned char* out);

// Resource store. out has room for len + 32 bytes. The mode is bound to the
// cipher text and given back by decrypt. Encrypt returns < 1 on failure; decrypt
// returns a negative value on failure and 0 only for an authentic empty text.
long edge_inner_security_encrypt_v1(const unsigned char* in, long len, const char* key, unsigned char* out,
                                    int mode);
long edge_inner_security_decrypt_v1(const unsigned char* in, long len, const char* key, unsigned char* out,
                                    int* mode);

// AES-128-ECB with zero padding to a multiple of 16 (none when already a multiple).
// out is zeroed and has room for len + 16. Returns the enciphered length.
long AES128_ECB_encrypt_paddingZero(const unsigned char* in, long len, const char* key, unsigned char* out);
// Base64 with '=' padding; a NUL-terminated string from malloc, freed by the caller.
char* b64_encode(const unsigned char* in, long len);

}

// Bytes the authenticated formats add to the plain text (nonce, tag, header).
constexpr long ZDV_OVERHEAD = 32;

namespace zideredov {

// The SDK local folder: home + "/" + relative part. While no home is set the home
// is $HOME, else the user's home directory from the password database.
std::string get_local_folder();
void set_local_folder_home(const std::string& home);
void set_local_folder_relative(const std::string& relative);

}  // namespace zideredov
