#include <cstdlib>
#include <cstring>
#include <utility>

#include "tamrin_mobile/tamrin_mobile.h"

namespace tamrin_mobile {

TamrinBuf::TamrinBuf(void* data, int64_t length, bool memory_owned)
    : data_(data), length_(length), memory_owned_(memory_owned) {}

TamrinBuf::TamrinBuf(int64_t length) { Resize(length); }

TamrinBuf::TamrinBuf(const TamrinBuf& other) : length_(other.length_), memory_owned_(other.memory_owned_) {
  if (!memory_owned_) {
    data_ = other.data_;
  } else if (other.data_ != nullptr && length_ > 0) {
    data_ = std::malloc(static_cast<size_t>(length_));
    if (data_ != nullptr) {
      std::memcpy(data_, other.data_, static_cast<size_t>(length_));
    } else {
      length_ = 0;  // an empty copy rather than a length without bytes
    }
  } else {
    length_ = 0;
  }
}

TamrinBuf& TamrinBuf::operator=(const TamrinBuf& other) {
  if (this != &other) {
    TamrinBuf copy(other);
    *this = std::move(copy);
  }
  return *this;
}

TamrinBuf::TamrinBuf(TamrinBuf&& other) noexcept
    : data_(other.data_), length_(other.length_), memory_owned_(other.memory_owned_) {
  other.data_ = nullptr;
  other.length_ = 0;
}

TamrinBuf& TamrinBuf::operator=(TamrinBuf&& other) noexcept {
  if (this != &other) {
    Free();
    data_ = other.data_;
    length_ = other.length_;
    memory_owned_ = other.memory_owned_;
    other.data_ = nullptr;
    other.length_ = 0;
  }
  return *this;
}

TamrinBuf::~TamrinBuf() { Free(); }

void TamrinBuf::Resize(int64_t length) {
  Free();
  memory_owned_ = true;
  if (length > 0) {
    data_ = std::calloc(static_cast<size_t>(length), 1);
    length_ = data_ != nullptr ? length : 0;
  }
}

void TamrinBuf::Reset(void* data, int64_t length) {
  Free();
  data_ = data;
  length_ = length;
  memory_owned_ = false;
}

void TamrinBuf::Free() {
  if (memory_owned_ && data_ != nullptr) std::free(data_);
  data_ = nullptr;
  length_ = 0;
}

}  // namespace tamrin_mobile
