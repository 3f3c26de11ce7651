#pragma once

// Names of an ONNX model's graph inputs and outputs, read straight from the
// protobuf bytes. OpenCV's importer keeps these names for the network's input
// blobs and output layers but offers no call that lists the inputs, so the
// runtime reads them itself to feed each tensor to the right input.

#include <cstddef>
#include <string>
#include <vector>

namespace tamrin_mobile {
namespace detail {

struct OnnxGraphIo {
  std::string name;                  // the graph's name as its exporter gave it (its first 256 bytes; may be empty)
  std::vector<std::string> inputs;   // graph inputs that are not initializers, in order
  std::vector<std::string> outputs;  // graph outputs, in order
};

// False when the bytes are not a well-formed ModelProto with a graph; *io is
// then left empty. Only the wire format is checked, not the graph's meaning.
bool read_onnx_graph_io(const unsigned char* data, size_t size, OnnxGraphIo* io);

}  // namespace detail
}  // namespace tamrin_mobile
