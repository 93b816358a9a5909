#pragma once
// SWU-41 (EPX3000): a stripe reader/encoder that takes unframed settings
// (ESC sequences) and framed commands (STX payload ETX check byte), and
// answers each framed command with one framed reply: the initialise command
// with 0x10, a read with the tracks of its code once a card is swiped, a
// write with the tracks it wrote.
#include <mutex>
#include <string>
#include <vector>

#include "readersim/SimPort.h"

namespace readersim {

class SWU41Device final : public SimDevice {
 public:
  std::string Model() const override { return "SWU-41"; }
  void OnHostBytes(const std::string& bytes, SimPort& port) override;
  bool Command(const std::string& verb, const std::string& arg, SimPort& port) override;
  std::string Help() const override;
  void PowerCycle() override;

  static std::string Frame(const std::string& payload);

  // What the host set: density 'L' or 'H', start offset '6' to '9',
  // coercivity 'y' (low) or 'x' (high); 0 until set.
  struct Settings {
    char density = 0;
    char startOffset = 0;
    char coercivity = 0;
    int resets = 0;
  };
  Settings GetSettings() const;
  // Track code of the read waiting for a card; 0 when none.
  int PendingRead() const;
  // Every framed command the host sent, oldest first.
  std::vector<std::string> Commands() const;

 private:
  void Byte(unsigned char b, SimPort& port);
  void HandleCommand(const std::string& payload, SimPort& port);
  void Answer(const std::string& payload, SimPort& port);
  std::string TracksOf(int code, const std::string* tracks) const;

  enum class In { Idle, Esc, EscArg, Frame, Check };
  mutable std::mutex fMutex;
  In fIn = In::Idle;
  char fEscCmd = 0;
  std::string fFrame;
  Settings fSettings;
  int fPendingRead = 0;
  std::vector<std::string> fCommands;
  std::string fCard[3];  // the card last written, for "swipe" alone
  bool fCorrupt = false;
  bool fTrace = false;
};

}  // namespace readersim
