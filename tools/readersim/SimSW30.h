#pragma once
// Simulated SW-30 motorised reader/encoder, speaking from the device's side:
// it acknowledges a well-formed command frame (NAK for a wrong check
// character), answers it on ENQ, and keeps the card that is at its entrance
// or inside, whose tracks a write changes and a later read returns.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
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

  // What a test looks at from its own thread.
  enum class Card { None, Entrance, Inside };
  Card CardState() const { return fCard.load(); }
  std::string Track(int n) const {
    std::lock_guard lock(fTracksMutex);
    return fTracks[static_cast<size_t>(n - 1)];
  }
  int Lights() const { return fLights.load(); }
  int Beeps() const { return fBeeps.load(); }

 private:
  // The answer text of one command; runs it.
  std::string Execute(const std::string& text);
  std::string Status() const;

  // Puts the card of "T1|T2|T3" at the entrance, or holds it back (taking
  // out the one there) until the host has seen the device empty: a hand
  // takes a card out and offers the next no faster than that.
  void Offer(const std::string& tracks);
  void Reported(const std::string& status);

  std::atomic<Card> fCard{Card::None};
  bool fSeenEmpty = false;  // the host was told "no card" since the last one left
  bool fOfferHeld = false;
  std::array<std::string, 3> fHeldTracks;
  mutable std::mutex fTracksMutex;
  std::array<std::string, 3> fTracks;
  std::string fFrame;  // the command frame under way
  bool fInFrame = false;
  bool fCheckNext = false;
  std::string fAnswer;  // the answer kept for ENQ, already framed
  int fFailCode = -1;   // the next read or write fails with this code
  int fCutAt = -1;      // the next read answer gets a DLE after this many bytes
  std::atomic<int> fLights{0};
  std::atomic<int> fBeeps{0};
};

}  // namespace readersim
