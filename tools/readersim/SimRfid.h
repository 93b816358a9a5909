#pragma once
// Simulated SLR-45 proximity reader: a badge held to it sends a frame with the
// badge's five-byte code, again every 100 ms while it stays in the field; it
// never answers the host.
#include <cstdint>
#include <string>

#include "readersim/SimPort.h"

namespace readersim {

class SLR45Device final : public SimDevice {
 public:
  std::string Model() const override { return "SLR-45"; }
  void OnHostBytes(const std::string&, SimPort&) override {}
  bool Command(const std::string& verb, const std::string& arg, SimPort& port) override;
  std::string Help() const override;

  // The frame of a badge: "123456789A" (the code, with the header bytes 0A 01)
  // or "0A01123456789A" (header bytes first); blanks are ignored. Empty when
  // the text is not 10 or 14 hexadecimal digits. badCheck spoils the check byte.
  static std::string MakeFrame(const std::string& hex, bool badCheck = false);

  static constexpr long kRepeatMs = 100;

 private:
};

}  // namespace readersim
