#pragma once
// Simulated SW-30 motorised reader/encoder, speaking from the device's side:
// it acknowledges a well-formed command frame (NAK for a wrong check
// character), answers it on ENQ, and keeps the card that is at its entrance
// or inside, whose tracks a write changes and a later read returns.
#include <array>
#include <cstdint>
#include <string>

#include "readersim/SimPort.h"

namespace readersim {

class SW30Device final : public SimDevice {
 public:
  std::string Model() const override { return "SW-30"; }
  void OnHostBytes(const std::string& bytes, SimPort& port) override;
  bool Command(const std::string& verb, const std::string& arg, SimPort& port) override;
  std::string Help() const override;

  // STX, text, ETX and the check character of text and ETX.
  static std::string Frame(const std::string& text);

  enum class Card { None, Entrance, Inside };
  Card CardState() const { return fCard; }
  const std::string& Track(int n) const { return fTracks[static_cast<size_t>(n - 1)]; }
  int Lights() const { return fLights; }
  int Beeps() const { return fBeeps; }
  std::uint64_t Commands() const { return fCommands; }

 private:
  // The answer text of one command; runs it.
  std::string Execute(const std::string& text);
  std::string Status() const;

  Card fCard = Card::None;
  std::array<std::string, 3> fTracks;
  std::string fFrame;  // the command frame under way
  bool fInFrame = false;
  bool fCheckNext = false;
  std::string fAnswer;  // the answer kept for ENQ, already framed
  int fFailCode = -1;   // the next read or write fails with this code
  int fLights = 0;
  int fBeeps = 0;
  bool fSilent = false;
  std::uint64_t fCommands = 0;
};

}  // namespace readersim
