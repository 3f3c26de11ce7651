#include "onnx_graph_io.h"

#include <algorithm>
#include <cstdint>

namespace tamrin_mobile {
namespace detail {

namespace {

// Protobuf field numbers of onnx.proto that lead to the names.
constexpr uint32_t kModelGraph = 7;         // ModelProto.graph
constexpr uint32_t kGraphName = 2;          // GraphProto.name
constexpr uint32_t kGraphInitializer = 5;   // GraphProto.initializer (TensorProto)
constexpr uint32_t kGraphInput = 11;        // GraphProto.input (ValueInfoProto)
constexpr uint32_t kGraphOutput = 12;       // GraphProto.output (ValueInfoProto)
constexpr uint32_t kValueInfoName = 1;      // ValueInfoProto.name
constexpr uint32_t kTensorName = 8;         // TensorProto.name

// A name is for messages: more of it than this is not kept.
constexpr size_t kMaxGraphNameBytes = 256;

constexpr uint32_t kWireVarint = 0;
constexpr uint32_t kWireFixed64 = 1;
constexpr uint32_t kWireLengthDelimited = 2;
constexpr uint32_t kWireFixed32 = 5;

// A bounds-checked cursor over one message's bytes.
class WireReader {
 public:
  WireReader(const unsigned char* data, size_t size) : pos_(data), end_(data + size) {}

  bool done() const { return pos_ == end_; }

  bool read_varint(uint64_t* value) {
    *value = 0;
    for (int shift = 0; shift < 64; shift += 7) {
      if (pos_ == end_) return false;
      const unsigned char byte = *pos_++;
      *value |= static_cast<uint64_t>(byte & 0x7f) << shift;
      if ((byte & 0x80) == 0) return true;
    }
    return false;  // more than ten bytes: not a varint
  }

  // Reads one field key; a length-delimited payload is returned in *payload,
  // anything else is skipped.
  bool next(uint32_t* field, const unsigned char** payload, size_t* length) {
    uint64_t key = 0;
    if (!read_varint(&key)) return false;
    *field = static_cast<uint32_t>(key >> 3);
    *payload = nullptr;
    *length = 0;
    uint64_t skip = 0;
    switch (key & 7) {
      case kWireVarint:
        return read_varint(&skip);
      case kWireFixed64:
        return advance(8);
      case kWireFixed32:
        return advance(4);
      case kWireLengthDelimited:
        if (!read_varint(&skip) || skip > static_cast<uint64_t>(end_ - pos_)) return false;
        *payload = pos_;
        *length = static_cast<size_t>(skip);
        pos_ += skip;
        return true;
      default:
        return false;  // groups are not used by onnx.proto
    }
  }

 private:
  bool advance(size_t n) {
    if (static_cast<size_t>(end_ - pos_) < n) return false;
    pos_ += n;
    return true;
  }

  const unsigned char* pos_;
  const unsigned char* end_;
};

// The string field `name_field` of a nested message; empty when absent.
bool read_name(const unsigned char* data, size_t size, uint32_t name_field, std::string* name) {
  WireReader reader(data, size);
  name->clear();
  while (!reader.done()) {
    uint32_t field = 0;
    const unsigned char* payload = nullptr;
    size_t length = 0;
    if (!reader.next(&field, &payload, &length)) return false;
    if (field == name_field && payload != nullptr) {
      name->assign(reinterpret_cast<const char*>(payload), length);
    }
  }
  return true;
}

bool read_graph(const unsigned char* data, size_t size, OnnxGraphIo* io) {
  std::vector<std::string> initializers;
  WireReader reader(data, size);
  while (!reader.done()) {
    uint32_t field = 0;
    const unsigned char* payload = nullptr;
    size_t length = 0;
    if (!reader.next(&field, &payload, &length)) return false;
    if (payload == nullptr) continue;
    std::string name;
    if (field == kGraphName) {
      io->name.assign(reinterpret_cast<const char*>(payload), std::min(length, kMaxGraphNameBytes));
    } else if (field == kGraphInput || field == kGraphOutput) {
      if (!read_name(payload, length, kValueInfoName, &name)) return false;
      (field == kGraphInput ? io->inputs : io->outputs).push_back(name);
    } else if (field == kGraphInitializer) {
      if (!read_name(payload, length, kTensorName, &name)) return false;
      initializers.push_back(name);
    }
  }
  // Older exporters list every weight as a graph input too; those are not fed.
  io->inputs.erase(std::remove_if(io->inputs.begin(), io->inputs.end(),
                                  [&](const std::string& n) {
                                    return std::find(initializers.begin(), initializers.end(), n) !=
                                           initializers.end();
                                  }),
                   io->inputs.end());
  return true;
}

}  // namespace

bool read_onnx_graph_io(const unsigned char* data, size_t size, OnnxGraphIo* io) {
  *io = OnnxGraphIo();
  if (data == nullptr || size == 0) return false;
  WireReader reader(data, size);
  bool found_graph = false;
  while (!reader.done()) {
    uint32_t field = 0;
    const unsigned char* payload = nullptr;
    size_t length = 0;
    if (!reader.next(&field, &payload, &length)) {
      *io = OnnxGraphIo();
      return false;
    }
    if (field == kModelGraph && payload != nullptr) {
      if (!read_graph(payload, length, io)) {
        *io = OnnxGraphIo();
        return false;
      }
      found_graph = true;
    }
  }
  return found_graph;
}

}  // namespace detail
}  // namespace tamrin_mobile
