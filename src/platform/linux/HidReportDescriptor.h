#pragma once
// What the HID layer needs to know of a device's report descriptor: whether
// its reports carry a report ID, and how long its longest input report is.
#include <cstddef>
#include <cstdint>

namespace lumbra::platform {

struct HidReportLayout {
  bool valid = false;     // the descriptor could be walked to its end
  bool numbered = false;  // reports start with a report ID
  // Bytes of the longest input report with one byte for the report ID in
  // front, whether the device sends one or not (as the reader expects it);
  // 0 when the device has no input report.
  std::uint16_t inputReportLength = 0;
};

HidReportLayout ParseReportDescriptor(const std::uint8_t* data, std::size_t size);

}  // namespace lumbra::platform
