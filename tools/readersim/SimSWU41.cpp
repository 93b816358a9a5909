#include "readersim/SimSWU41.h"

#include <cstdio>

namespace readersim {
namespace {

constexpr char STX = 0x02;
constexpr char ETX = 0x03;
constexpr char ESC = 0x1B;

std::string Printable(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02X", c);
      out += b;
    }
  }
  return out;
}

// "T1|T2|T3", or one field for track 2 alone.
void SplitCard(const std::string& arg, std::string* t) {
  const size_t a = arg.find('|');
  if (a == std::string::npos) {
    t[0].clear();
    t[1] = arg;
    t[2].clear();
    return;
  }
  const size_t b = arg.find('|', a + 1);
  t[0] = arg.substr(0, a);
  t[1] = arg.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
  t[2] = b == std::string::npos ? std::string() : arg.substr(b + 1);
}

}  // namespace

std::string SWU41Device::Frame(const std::string& payload) {
  std::string f(1, STX);
  f += payload;
  f += ETX;
  char lrc = 0;
  for (size_t i = 1; i < f.size(); ++i) lrc = static_cast<char>(lrc ^ f[i]);
  return f + lrc;
}

SWU41Device::Settings SWU41Device::GetSettings() const {
  std::lock_guard lock(fMutex);
  return fSettings;
}

int SWU41Device::PendingRead() const {
  std::lock_guard lock(fMutex);
  return fPendingRead;
}

std::vector<std::string> SWU41Device::Commands() const {
  std::lock_guard lock(fMutex);
  return fCommands;
}

void SWU41Device::OnHostBytes(const std::string& bytes, SimPort& port) {
  for (unsigned char b : bytes) Byte(b, port);
}

void SWU41Device::Byte(unsigned char b, SimPort& port) {
  std::unique_lock lock(fMutex);
  switch (fIn) {
    case In::Idle:
      if (b == ESC) fIn = In::Esc;
      if (b == STX) {
        fFrame.clear();
        fIn = In::Frame;
      }
      return;
    case In::Esc:
      fIn = In::Idle;
      if (b == 'L' || b == 'H') fSettings.density = static_cast<char>(b);
      if (b >= '6' && b <= '9') fSettings.startOffset = static_cast<char>(b);
      if (b == 'x' || b == 'y') {
        fEscCmd = static_cast<char>(b);
        fIn = In::EscArg;
      }
      if (b == '0') {
        // Reset: whatever the device was doing is dropped.
        ++fSettings.resets;
        fPendingRead = 0;
      }
      return;
    case In::EscArg:
      fIn = In::Idle;
      if (b == 0) fSettings.coercivity = fEscCmd;
      return;
    case In::Frame:
      if (b == ETX)
        fIn = In::Check;
      else
        fFrame += static_cast<char>(b);
      return;
    case In::Check: {
      fIn = In::Idle;
      char lrc = ETX;
      for (char c : fFrame) lrc = static_cast<char>(lrc ^ c);
      const std::string payload = fFrame;
      lock.unlock();
      if (lrc != static_cast<char>(b)) {
        Answer("\x15", port);
        return;
      }
      HandleCommand(payload, port);
      return;
    }
  }
}

void SWU41Device::Answer(const std::string& payload, SimPort& port) {
  bool silent;
  {
    std::lock_guard lock(fMutex);
    silent = fSilent;
  }
  if (!silent) port.Write(Frame(payload));
}

void SWU41Device::HandleCommand(const std::string& payload, SimPort& port) {
  std::unique_lock lock(fMutex);
  fCommands.push_back(payload);
  if (fTrace) std::fprintf(stderr, "host: %s\n", Printable(payload).c_str());
  if (fSilent) return;
  const char kind = payload.empty() ? 0 : payload[0];
  if (kind == 'i') {
    fPendingRead = 0;
    lock.unlock();
    Answer("\x10", port);
  } else if (kind == 'r' && payload.size() == 2 && payload[1] >= '1' && payload[1] <= '7') {
    // Answered when a card is swiped.
    fPendingRead = payload[1] - '0';
  } else if (kind == '%' || kind == ';' || kind == '+') {
    fPendingRead = 0;
    std::string tracks[3];
    bool present[3] = {false, false, false};
    int current = -1;
    for (char c : payload) {
      if (current < 0) {
        current = c == '%' ? 0 : c == ';' ? 1 : c == '+' ? 2 : -1;
        if (current >= 0) present[current] = true;
      } else if (c == '?') {
        current = -1;
      } else {
        tracks[current] += c;
      }
    }
    std::string answer;
    const char marks[3] = {'%', ';', '+'};
    for (int t = 0; t < 3; ++t) {
      if (!present[t]) continue;
      fCard[t] = tracks[t];
      std::string back = tracks[t];
      if (fCorrupt) {
        // One character off: what a bad spot on the stripe reads back.
        back =
            back.empty() ? "0" : back.substr(0, back.size() - 1) + (back.back() == '1' ? '2' : '1');
        fCorrupt = false;
      }
      answer += marks[t] + back + "?";
    }
    lock.unlock();
    Answer(answer, port);
  } else {
    lock.unlock();
    Answer("\x15", port);
  }
}

std::string SWU41Device::TracksOf(int code, const std::string* t) const {
  static const bool kTracks[8][3] = {
      {false, false, false}, {true, false, false}, {false, true, false}, {false, false, true},
      {true, true, false},   {false, true, true},  {true, false, true},  {true, true, true}};
  const char marks[3] = {'%', ';', '+'};
  std::string out;
  for (int i = 0; i < 3; ++i)
    if (kTracks[code][i]) out += marks[i] + t[i] + "?";
  return out;
}

bool SWU41Device::Command(const std::string& verb, const std::string& arg, SimPort& port) {
  std::unique_lock lock(fMutex);
  if (verb == "swipe") {
    std::string card[3];
    if (arg.empty())
      for (int i = 0; i < 3; ++i) card[i] = fCard[i];
    else
      SplitCard(arg, card);
    // Without a read outstanding the card passes unread, as on the device.
    const int code = fPendingRead;
    if (code == 0 || fSilent) return true;
    fPendingRead = 0;
    const std::string answer = TracksOf(code, card);
    lock.unlock();
    return port.Write(Frame(answer));
  }
  if (verb == "del") {
    // A card error: the reply is abandoned half-way.
    fPendingRead = 0;
    lock.unlock();
    return port.Write(std::string{STX, '\x7f'});
  }
  if (verb == "nak") {
    fPendingRead = 0;
    lock.unlock();
    return port.Write(Frame("\x15"));
  }
  if (verb == "corrupt") return fCorrupt = true;
  if (verb == "trace") return fTrace = arg != "off", true;
  return false;
}

void SWU41Device::PowerCycle() {
  std::lock_guard lock(fMutex);
  fIn = In::Idle;
  fFrame.clear();
  fPendingRead = 0;
  const int resets = fSettings.resets;
  fSettings = Settings{};
  fSettings.resets = resets;
}

std::string SWU41Device::Help() const {
  return "swipe T1|T2|T3   a card with these tracks (one field alone is track 2),\n"
         "                 read if the host has a read outstanding\n"
         "swipe            the card last written\n"
         "del              abandon the reply half-way (a card error)\n"
         "nak              refuse the command outstanding\n"
         "corrupt          the next write reads back one character off\n"
         "trace [off]      print each command the host sends (host: PAYLOAD)\n"
         "silent | answer  stop and resume answering\n";
}

}  // namespace readersim
