// The request reader on its own: framing and head limits, fed in pieces of
// every size, since a socket may deliver a request cut anywhere.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "norvane/net/http_request_reader.h"

namespace norvane_test {
namespace {

using norvane::detail::RequestReader;
using State = RequestReader::State;

struct Outcome {
  State state;
  int status = 0;
  std::string body;
  size_t used = 0;  // bytes taken, the rest being the next request's
};

// Feeds text in pieces of `piece` bytes as a connection would: a body begins
// once its head is accepted, and reading stops at the end of the request.
Outcome read_request(const std::string& text, size_t piece, size_t cap = 1000) {
  RequestReader reader(cap);
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.size(), at + piece);
    while (at < end) {
      const size_t used = reader.feed(text.data() + at, end - at);
      at += used;
      if (reader.state() == State::kComplete || reader.state() == State::kFailed) {
        Outcome out{reader.state(), reader.failure_status(), {}, at};
        if (reader.state() == State::kComplete) out.body = reader.take().body;
        return out;
      }
      if (used == 0) break;
    }
  }
  return {reader.state(), 0, {}, at};
}

const std::vector<size_t> kPieces = {1, 2, 3, 7, 64, 100000};

TEST(RequestReader, WholeRequestsInAnyPiecesEndExactlyWhereTheyEnd) {
  struct Case {
    std::string text;
    std::string body;
    std::string next;  // bytes after the request, never taken
  };
  for (const Case& c : {
           Case{"\r\n\r\nGET /api/info HTTP/1.1\r\nHost: x\r\n\r\n", "", "GET / HTTP/1.1\r\n\r\n"},
           Case{"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 5\r\n\r\nhello", "hello", "POST"},
           Case{"POST / HTTP/1.1\r\nContent-Length: 3, 3\r\nUser-Agent: a\x01\tb\r\n\r\nabc", "abc", ""},
           Case{"POST / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\n\r\n"
                "5;name=\"v\"\r\nhello\r\n1A \r\n" + std::string(26, 'z') + "\r\n0\r\nX-Sum: 1\r\n\r\n",
                "hello" + std::string(26, 'z'), "GET"},
           Case{"GET /x HTTP/1.0\r\n\r\n", "", ""},
       }) {
    for (size_t piece : kPieces) {
      const Outcome out = read_request(c.text + c.next, piece);
      ASSERT_EQ(out.state, State::kComplete) << c.text << " in pieces of " << piece;
      EXPECT_EQ(out.body, c.body) << c.text;
      EXPECT_EQ(out.used, c.text.size()) << c.text << " in pieces of " << piece;
    }
  }
}

// A first chunk ended by a bare "\n" was accepted: the body was cut there,
// inferred and counted, and its rest parsed as three more requests.
TEST(RequestReader, FramingThatIsNotExactlyAsWrittenIsRefused) {
  const std::string chunked = "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n";
  struct Case {
    std::string text;
    int status;
  };
  for (const Case& c : {
           Case{chunked + "5\nhello\r\n0\r\n\r\n", 400},
           Case{chunked + "5\r\nhello\n0\r\n\r\nGET /api/info HTTP/1.1\r\n\r\n", 400},
           Case{chunked + "5\r\nhelloXX0\r\n\r\n", 400},
           Case{chunked + "5\r\nhello0\r\n\r\n", 400},
           Case{chunked + "x\r\n", 400},
           Case{chunked + "5 x\r\n", 400},
           Case{chunked + "-5\r\n", 400},
           Case{chunked + "1111111111111111\r\n", 413},
           Case{chunked + "3e9\r\n", 413},  // 1001 bytes: over the cap before any is read
           Case{"POST / HTTP/1.1\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
           Case{"POST / HTTP/1.1\r\nTransfer-Encoding: gzip\r\n\r\n", 400},
           Case{"POST / HTTP/1.1\r\nTransfer-Encoding: chunked, chunked\r\n\r\n", 400},
           Case{"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", 400},
           Case{"POST / HTTP/1.1\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello!", 400},
           Case{"POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\n", 400},
           Case{"POST / HTTP/1.1\r\nContent-Length: 5x\r\n\r\n", 400},
           Case{"POST / HTTP/1.1\r\nContent-Length:\r\n\r\n", 400},
           Case{"POST / HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", 413},
           Case{"POST / HTTP/1.1\r\nContent-Length: 99999999999999999999999\r\n\r\n", 413},
           Case{"GET / HTTP/1.1\nHost: x\r\n\r\n", 400},
           Case{"GET / HTTP/1.1\r\nHost: x\rY\r\n\r\n", 400},
           Case{"GET / HTTP/1.1\r\nHost: x\r\n folded\r\n\r\n", 400},
           Case{"GET / HTTP/1.1\r\nHost : x\r\n\r\n", 400},
           Case{"GET / HTTP/1.1\r\nHo\"st: x\r\n\r\n", 400},
           Case{std::string("GET / HTTP/1.1\r\nHost: x\0y\r\n\r\n", 30), 400},
           Case{"GET  / HTTP/1.1\r\n\r\n", 400},
           Case{"GET / HTTP/2.0\r\n\r\n", 400},
           Case{"GE(T / HTTP/1.1\r\n\r\n", 400},
       }) {
    for (size_t piece : kPieces) {
      const Outcome out = read_request(c.text, piece);
      EXPECT_EQ(out.state, State::kFailed) << c.text << " in pieces of " << piece;
      EXPECT_EQ(out.status, c.status) << c.text;
    }
  }
  // Framing bytes count against the cap: 400 one-byte chunks carry 400 bytes
  // of data in 2400 bytes of body.
  std::string tiny = chunked;
  for (int i = 0; i < 400; ++i) tiny += "1\r\nx\r\n";
  EXPECT_EQ(read_request(tiny + "0\r\n\r\n", 4096).status, 413);
}

// 22 M header lines were held (2.4 GB) before the head was refused, and one
// 1 GB header line whole before its length was checked.
TEST(RequestReader, HeadLimitsHoldAsTheBytesArrive) {
  struct Case {
    std::string head;
    std::string flood;  // repeated until refused
    int status;
  };
  for (const Case& c : {
           Case{"GET /api/info HTTP/1.1\r\n", "a:b\r\n", 431},
           Case{"GET /api/info HTTP/1.1\r\nX: ", "a", 431},
           Case{"GET /", "a", 414},
           Case{"GET /api/info HTTP/1.1\r\nX-Pad: ", std::string(1000, 'p') + "\r\nX-Pad: ", 431},
       }) {
    RequestReader reader(1000);
    size_t taken = reader.feed(c.head.data(), c.head.size());
    for (int i = 0; i < 200000 && reader.state() != State::kFailed; ++i) taken += reader.feed(c.flood.data(), c.flood.size());
    EXPECT_EQ(reader.state(), State::kFailed) << c.head;
    EXPECT_EQ(reader.failure_status(), c.status) << c.head;
    EXPECT_LE(taken, 64u * 1024 + c.flood.size()) << "refused as soon as the limit was passed: " << c.head;
  }
  // Up to the limits a head is taken: 100 header lines, 8 KiB each.
  std::string head = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 7; ++i) head += "X-Pad: " + std::string(8000, 'p') + "\r\n";
  for (int i = 7; i < 100; ++i) head += "X" + std::to_string(i) + ": 1\r\n";
  EXPECT_EQ(read_request(head + "\r\n", 1000).state, State::kComplete);
  EXPECT_EQ(read_request(head + "X: 1\r\n\r\n", 1000).status, 431);
}

// A declared length reserved its whole size at once (256 MiB for a head that
// claimed it); "Expect: 100-continue" from an HTTP/1.0 client asked for a 1xx
// reply such a client cannot read.
TEST(RequestReader, WhatTheClientClaimsCostsNothingUntilItIsSent) {
  RequestReader reader(size_t(256) << 20);
  const std::string head = "POST / HTTP/1.1\r\nContent-Length: 268435456\r\nExpect: 100-continue\r\n\r\n";
  ASSERT_EQ(reader.feed(head.data(), head.size()), head.size());
  ASSERT_EQ(reader.state(), State::kBody);
  EXPECT_TRUE(reader.partial().expects_continue);
  const std::string piece(100000, 'b');
  for (int i = 0; i < 10; ++i) reader.feed(piece.data(), piece.size());
  EXPECT_EQ(reader.body_bytes_read(), 1000000u);
  EXPECT_LE(reader.partial().body.capacity(), 2u * 1000000) << "grown with the bytes received";

  for (const char* version : {"HTTP/1.0", "HTTP/1.1"}) {
    RequestReader expecting(1000);
    const std::string text = std::string("POST / ") + version + "\r\nExpect: 100-Continue\r\nContent-Length: 3\r\n\r\n";
    expecting.feed(text.data(), text.size());
    EXPECT_EQ(expecting.partial().expects_continue, std::string(version) == "HTTP/1.1") << version;
  }
  // A body of declared length never takes more room than it declared.
  RequestReader exact(1000);
  const std::string whole = "POST / HTTP/1.1\r\nContent-Length: 700\r\n\r\n" + std::string(700, 'c');
  for (size_t at = 0; at < whole.size() && exact.state() != State::kComplete;)
    at += exact.feed(whole.data() + at, std::min<size_t>(100, whole.size() - at));
  ASSERT_EQ(exact.state(), State::kComplete);
  EXPECT_LE(exact.take().body.capacity(), 700u);
}

}  // namespace
}  // namespace norvane_test
