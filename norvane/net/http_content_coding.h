#pragma once

// Content codings of request bodies (RFC 9110, 8.4): the names a client may send
// in Content-Encoding, and the decoders that undo them. Decoding is incremental
// with every stage's output counted against a cap as it is produced, so that a
// small body cannot make the service hold or even write out more than the cap.

#include <cstddef>
#include <string>
#include <vector>

namespace norvane {
namespace detail {

// The codings this service undoes. gzip and deflate both take a gzip or a zlib
// stream, as the HTTP library's decoder did before these were undone here.
enum class ContentCoding { kGzip, kDeflate, kBrotli };

// Outcomes, each the HTTP status of the refusal it calls for.
constexpr int kCodingOk = 0;
constexpr int kCodingCorrupt = 400;      // bytes that are no whole stream of the coding named
constexpr int kCodingTooLarge = 413;     // a stage decodes to more than the cap
constexpr int kCodingUnsupported = 415;  // a coding not undone here, or too many of them

// More codings than this on one body are refused: each stage may yield up to the
// cap, so a long list of cheap layers would multiply the work one body costs the
// serving thread. No ordinary client applies more than one.
constexpr size_t kMaxContentCodings = 2;

// What a 415 reply names in Accept-Encoding (RFC 9110, 15.5.16).
extern const char* const kAcceptedCodings;

// The codings of a request, in the order they were applied, from its
// Content-Encoding field lines in the order received (each a comma-separated
// list; names compared without regard to case, "x-gzip" read as "gzip",
// "identity" and empty elements skipped). kCodingOk, or kCodingUnsupported.
int parse_content_codings(const std::vector<std::string>& field_values, std::vector<ContentCoding>& codings);

// Undoes `codings` (in the order applied) on body, into out. Each stage may
// yield at most `cap` bytes. The decoded length is found first without keeping
// the bytes, so a body over the cap costs no memory beyond the decoders' own; a
// body within it is decoded again into room of its exact size. An empty body is
// empty whatever its codings. kCodingOk, kCodingTooLarge or kCodingCorrupt; out
// is empty unless kCodingOk.
int decode_content(const std::string& body, const std::vector<ContentCoding>& codings, size_t cap, std::string& out);

}  // namespace detail
}  // namespace norvane
