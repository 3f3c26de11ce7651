#include <fcntl.h>

#include <cstdlib>

#include "tamrin_mobile/tamrin_mobile.h"

namespace tamrin_mobile {
namespace fpga {

namespace {
// Names an accelerator device node to open; unset means the CPU runs the networks.
constexpr const char* kDeviceEnv = "TAMRIN_FPGA_DEVICE";
// Handle of the CPU execution context: nothing to open, nothing to close.
constexpr int kCpuDevice = 0;
}  // namespace

int open_device() {
  const char* path = std::getenv(kDeviceEnv);
  if (path == nullptr || *path == '\0') return kCpuDevice;
  // The handle stays open for the life of the process, as a device handle does.
  const int fd = ::open(path, O_RDWR | O_CLOEXEC);
  return fd >= 0 ? fd : -1;
}

}  // namespace fpga
}  // namespace tamrin_mobile
