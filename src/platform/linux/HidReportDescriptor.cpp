#include "platform/linux/HidReportDescriptor.h"

#include <map>
#include <vector>

namespace lumbra::platform {
namespace {

struct Globals {
  std::uint32_t reportSize = 0;
  std::uint32_t reportCount = 0;
  std::uint32_t reportId = 0;
};

}  // namespace

HidReportLayout ParseReportDescriptor(const std::uint8_t* data, std::size_t size) {
  HidReportLayout layout;
  Globals g;
  std::vector<Globals> stack;
  std::map<std::uint32_t, std::uint64_t> inputBits;  // by report ID
  std::size_t pos = 0;
  while (pos < size) {
    const std::uint8_t prefix = data[pos];
    if (prefix == 0xFE) {
      // A long item: its data size follows; nothing of interest in it.
      if (pos + 2 >= size || pos + 3 + data[pos + 1] > size) return layout;
      pos += 3 + data[pos + 1];
      continue;
    }
    const std::size_t len = (prefix & 3) == 3 ? 4 : (prefix & 3);
    if (pos + 1 + len > size) return layout;
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < len; ++i) value |= std::uint32_t{data[pos + 1 + i]} << (8 * i);
    switch (prefix & 0xFC) {
      case 0x80:  // Input
        inputBits[g.reportId] += std::uint64_t{g.reportSize} * g.reportCount;
        break;
      case 0x74:  // Report Size
        g.reportSize = value;
        break;
      case 0x94:  // Report Count
        g.reportCount = value;
        break;
      case 0x84:  // Report ID
        g.reportId = value;
        layout.numbered = true;
        break;
      case 0xA4:  // Push
        stack.push_back(g);
        break;
      case 0xB4:  // Pop
        if (stack.empty()) return layout;
        g = stack.back();
        stack.pop_back();
        break;
      default:
        break;
    }
    pos += 1 + len;
  }
  std::uint64_t longest = 0;
  for (const auto& [id, bits] : inputBits) longest = bits > longest ? bits : longest;
  const std::uint64_t bytes = longest == 0 ? 0 : 1 + (longest + 7) / 8;
  if (bytes > 0xFFFF) return layout;
  layout.inputReportLength = static_cast<std::uint16_t>(bytes);
  layout.valid = true;
  return layout;
}

}  // namespace lumbra::platform
