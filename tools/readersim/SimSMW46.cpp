#include "readersim/SimSMW46.h"

namespace readersim {
namespace {

constexpr char STX = 0x02;
constexpr char ESC = 0x1B;
constexpr char FS = 0x1C;

void SplitTracks(const std::string& tracks, std::string t[3]) {
  size_t from = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t bar = tracks.find('|', from);
    t[i] = tracks.substr(from, bar == std::string::npos ? std::string::npos : bar - from);
    if (bar == std::string::npos) break;
    from = bar + 1;
  }
}

}  // namespace

std::string SMW46Device::MakeRead(const std::string& tracks, char status) {
  std::string t[3];
  SplitTracks(tracks, t);
  static const char kStart[3] = {'%', ';', ';'};
  std::string r{ESC, 's'};
  for (int i = 0; i < 3; ++i) {
    r += ESC;
    r += static_cast<char>(i + 1);
    // An empty track is its marker followed directly by the next ESC.
    if (!t[i].empty()) r += std::string(1, kStart[i]) + t[i] + "?";
  }
  r += {FS, ESC, status};
  return r;
}

void SMW46Device::Answer(const std::string& reply, SimPort& port) {
  if (!fSilent) port.Write(reply);
}

void SMW46Device::SendCard(SimPort& port) {
  fReadHeld = false;
  fCardWaiting = false;
  Answer(fCard, port);
}

void SMW46Device::Handle(const std::string& command, SimPort& port) {
  std::string seen(1, command[0]);
  if (command[0] == 'w') {
    // ESC "s", the track blocks (ESC and the track number, then its data), "?", FS.
    std::string t[3];
    bool ok = command.size() >= 5 && command[1] == ESC && command[2] == 's' &&
              command[command.size() - 2] == '?';
    const std::string area = ok ? command.substr(3, command.size() - 5) : std::string();
    for (size_t i = 0; ok && i < area.size();) {
      if (area[i] != ESC || i + 1 >= area.size() || area[i + 1] < 1 || area[i + 1] > 3) {
        ok = false;
        break;
      }
      const int track = area[i + 1] - 1;
      const size_t next = area.find(ESC, i + 2);
      t[track] = area.substr(i + 2, next == std::string::npos ? std::string::npos : next - i - 2);
      i = next == std::string::npos ? area.size() : next;
    }
    seen += " " + t[0] + "|" + t[1] + "|" + t[2];
    {
      std::lock_guard lock(fMutex);
      if (ok && !fSilent) fWritten = t[0] + "|" + t[1] + "|" + t[2];
    }
    fReadHeld = false;
    Answer(std::string{ESC, ok ? '0' : '9'}, port);
  } else {
    switch (command[0]) {
      case 'a':
        fReadHeld = false;  // reset: no reply
        break;
      case 'e':
        Answer(std::string{ESC, '0'}, port);
        break;
      case 'x':
      case 'y':
        Answer(std::string{ESC, 'y'}, port);
        break;
      case 'r':
        if (fSilent) break;
        fReadHeld = true;
        if (fCardWaiting) SendCard(port);
        break;
      default:
        Answer(std::string{ESC, '9'}, port);
        break;
    }
  }
  {
    std::lock_guard lock(fMutex);
    fCommands.push_back(seen);
  }
  if (fLog != nullptr) {
    std::fprintf(fLog, "host %s\n", seen.c_str());
    std::fflush(fLog);
  }
}

void SMW46Device::OnHostBytes(const std::string& bytes, SimPort& port) {
  fIn += bytes;
  for (;;) {
    const size_t stx = fIn.find(STX);
    if (stx == std::string::npos) {
      fIn.clear();
      return;
    }
    fIn.erase(0, stx);
    if (fIn.size() < 2) return;
    size_t end = 2;
    if (fIn[1] == 'w') {
      const size_t fs = fIn.find(FS, 2);
      if (fs == std::string::npos) return;  // the rest of the write is still coming
      end = fs + 1;
    }
    const std::string command = fIn.substr(1, end - 1);
    fIn.erase(0, end);
    Handle(command, port);
  }
}

bool SMW46Device::Command(const std::string& verb, const std::string& arg, SimPort& port) {
  if (verb == "swipe" || verb == "swipe-status") {
    // "swipe-status C TRACKS": the read reply ends with status C instead of "0".
    char status = '0';
    std::string tracks = arg;
    if (verb == "swipe-status") {
      if (arg.empty()) return false;
      status = arg[0];
      tracks = arg.size() > 2 ? arg.substr(2) : std::string();
    }
    if (tracks.empty()) tracks = WrittenCard();
    fCard = MakeRead(tracks, status);
    fCardWaiting = true;
    // A card swiped with no read outstanding answers the next one.
    if (fReadHeld && !fSilent) SendCard(port);
    return true;
  }
  if (verb == "status" && arg.size() == 1) {
    // Ends a read outstanding, as the device's own reply would.
    fReadHeld = false;
    return port.Write(std::string{ESC, arg[0]});
  }
  if (verb == "version") return port.Write(std::string{ESC, 'R'} + "SMW4601");
  if (verb == "log" && (arg == "on" || arg == "off")) {
    fLog = arg == "on" ? stdout : nullptr;
    std::printf("log %s\n", arg.c_str());
    std::fflush(stdout);
    return true;
  }
  return false;
}

void SMW46Device::PowerCycle() {
  fIn.clear();
  fReadHeld = false;
  fCardWaiting = false;
}

std::vector<std::string> SMW46Device::Commands() const {
  std::lock_guard lock(fMutex);
  return fCommands;
}

std::string SMW46Device::WrittenCard() const {
  std::lock_guard lock(fMutex);
  return fWritten;
}

std::string SMW46Device::Help() const {
  return "swipe T1|T2|T3   a card with these tracks (empty for a missing one); it\n"
         "                 answers the read outstanding, or the next one\n"
         "swipe            the last card written\n"
         "swipe-status C T1|T2|T3   the same, the read reply ending in status C\n"
         "status C         the reply ESC C (\"9\" a failure, anything unexpected)\n"
         "version          a version reply\n"
         "log on | off     print each command of the host as \"host X\"\n"
         "silent | answer  stop and resume answering\n";
}

}  // namespace readersim
