#pragma once
// The SLU-20 USB reader's side: on each request (output report 00 30 30) it
// answers with the next of the four input reports that carry its 28-byte
// state block (report ID 0, packet number 1 to 4, 7 bytes of the block). The
// block is taken when packet 1 goes out, so its four parts always agree.
#include <cstdint>
#include <string>
#include <vector>

#include "readersim/SimHid.h"

namespace readersim {

class SLU20Device final : public SimHidDevice {
 public:
  std::string Model() const override { return "SLU-20"; }
  SimHidIdentity Identity() const override;
  void OnOutputReport(const std::string& report, SimHidPort& port) override;
  bool Command(const std::string& verb, const std::string& arg, SimHidPort& port) override;
  std::string Help() const override;

  // Track-2 text (digits, "=" or "D" for the separator) as the reader's
  // five-bit codes with odd parity, the end sentinel and the longitudinal
  // check character; false when the text has other characters or does not
  // fit in the block.
  static bool EncodeTrack(const std::string& text, std::vector<std::uint8_t>& codes);
  // The 28-byte block for a card status code (0 none, 1 half-way, 2 in) and codes.
  static std::string Block(std::uint8_t code, const std::vector<std::uint8_t>& codes);

 private:
  std::uint8_t fCode = 0;
  std::vector<std::uint8_t> fCodes;
  int fSwipeBlocks = 0;  // blocks left before a swiped card is out again
  std::string fBlock;    // the block being sent
  int fNext = 1;         // the packet the next request gets
};

}  // namespace readersim
