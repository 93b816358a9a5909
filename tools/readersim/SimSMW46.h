#pragma once
// Simulated SMW-46 reader/encoder: takes STX-prefixed one-letter commands,
// answers with ESC replies, holds a read ("r") until a card is swiped, and
// keeps the last card written so that it can be swiped back.
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "readersim/SimPort.h"

namespace readersim {

class SMW46Device final : public SimDevice {
 public:
  // log: where each command from the host is written as "host X"; none by default.
  explicit SMW46Device(std::FILE* log = nullptr) : fLog(log) {}
  std::string Model() const override { return "SMW-46"; }
  void OnHostBytes(const std::string& bytes, SimPort& port) override;
  bool Command(const std::string& verb, const std::string& arg, SimPort& port) override;
  std::string Help() const override;
  void PowerCycle() override;

  // The read reply for tracks "T1|T2|T3" (sentinels added) with a status.
  static std::string MakeRead(const std::string& tracks, char status = '0');
  // The commands the host sent, oldest first: their letters, and for a write
  // "w" followed by the tracks written ("w T1|T2|T3").
  std::vector<std::string> Commands() const;
  // Tracks of the last card written, "T1|T2|T3".
  std::string WrittenCard() const;

 private:
  void Handle(const std::string& command, SimPort& port);
  void Answer(const std::string& reply, SimPort& port);
  void SendCard(SimPort& port);

  std::FILE* fLog;
  std::string fIn;
  bool fReadHeld = false;
  bool fCardWaiting = false;
  std::string fCard;  // reply waiting for the next read
  std::string fWritten = "||";
  mutable std::mutex fMutex;  // fCommands, fWritten (read by tests on other threads)
  std::vector<std::string> fCommands;
};

}  // namespace readersim
