#pragma once
// Simulated serial badge readers, speaking from the device's side of the line.
#include <cstdint>
#include <random>
#include <string>

#include "readersim/SimPort.h"

namespace readersim {

// SL-10: answers every poll (a byte with three bits set, or its complement
// with five) with one frame of the card state; after a swipe it answers with
// the data (or failure) frame until a complemented poll acknowledges it.
class SL10Device final : public SimDevice {
 public:
  SL10Device();
  std::string Model() const override { return "SL-10"; }
  void OnHostBytes(const std::string& bytes, SimPort& port) override;
  bool Command(const std::string& verb, const std::string& arg, SimPort& port) override;
  std::string Help() const override;

  // A frame as the reader sends it: status 1 to 3, kind 1 (status), 2 (data)
  // or 3 (read failure); chars are "0" to "?".
  std::string MakeFrame(int status, int kind, const std::string& chars = {},
                        bool badCharCheck = false);
  std::uint64_t Polls() const { return fPolls; }

 private:
  std::uint8_t Field(int value);
  int fStatus = 1;
  std::string fPending;  // the frame waiting for its acknowledgement
  bool fPendingSent = false;
  // Line damage to the next data or failure frame's first sending: "noend",
  // "nostart", "drop" (byte fDamageAt lost) or "stray" (a byte put there).
  std::string fDamage;
  size_t fDamageAt = 0;
  std::uint64_t fPolls = 0;
  std::minstd_rand fRng;
};

// SLU-4x: sends a card's tracks as one frame when told to swipe; never
// answers the host.
class SLU4xDevice final : public SimDevice {
 public:
  explicit SLU4xDevice(std::string model = "SLX-44") : fModel(std::move(model)) {}
  std::string Model() const override { return fModel; }
  void OnHostBytes(const std::string&, SimPort&) override {}
  bool Command(const std::string& verb, const std::string& arg, SimPort& port) override;
  std::string Help() const override;

  // "T1|T2|T3" (empty fields for tracks the card lacks), or one field for
  // track 2 alone.
  std::string MakeFrame(const std::string& tracks) const;
  // A frame as a noisy line delivers it: "stx" (a stray STX before it),
  // "etx" (an ETX after byte at), "drop" (byte at lost), "stray" (a byte
  // 0x7F put at at), "noend" (its terminator lost), "nostart" (its first
  // byte lost). Empty for an unknown kind.
  static std::string Damage(const std::string& frame, const std::string& kind, size_t at);
  // The gap of "cut": what a USB adapter's latency timer leaves between the
  // pieces of one burst, shorter than any quiet time that ends a frame.
  static constexpr int kCutGapMs = 10;

 private:
  std::string fModel;
  bool fStx = false;  // STX ... ETX instead of sentinel ... CR LF
  char fMark3 = '+';  // or ';'
};

}  // namespace readersim
