#include "platform/Clock.h"
#include "platform/SerialPort.h"

namespace lumbra::platform {

void DrainOutput(ISerialDevice& device, std::uint32_t boundMs) {
  if (device.OutputPending() == 0) return;
  const std::uint64_t start = Clock().GetTickCount64();
  while (Clock().GetTickCount64() - start < boundMs) {
    Clock().Sleep(kDrainPollMs);
    if (device.OutputPending() == 0) return;
  }
  device.PurgeOut();
}

}  // namespace lumbra::platform
