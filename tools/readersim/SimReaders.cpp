#include "readersim/SimReaders.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "reader/TrackData.h"

namespace readersim {

// ---------------------------------------------------------------- SL-10

SL10Device::SL10Device()
    : fRng(
          static_cast<std::uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count())) {
}

std::uint8_t SL10Device::Field(int value) {
  // Any pattern with the right number of bits will do; three is also "none".
  static const std::vector<std::uint8_t> patterns[] = {
      {}, {0b001, 0b010, 0b100}, {0b011, 0b101, 0b110}, {0b111, 0b000}};
  const auto& p = patterns[value];
  return p[fRng() % p.size()];
}

std::string SL10Device::MakeFrame(int status, int kind, const std::string& chars,
                                  bool badCharCheck) {
  std::string f(1, static_cast<char>(0x80 | Field(status) << 3 | Field(kind)));
  if (kind == 2) {
    unsigned sum = 1;
    for (size_t i = 0; i < chars.size(); ++i) {
      const unsigned nibble = static_cast<unsigned>(chars[i] - '0') & 0x0F;
      const unsigned shift = (i / 2) % 4;
      const unsigned noise = fRng() & ~(0x0Fu << shift);
      const unsigned b = ((i & 1) ? nibble : ~nibble & 0x0F) << shift | noise;
      f += static_cast<char>(b & 0x7F);
      sum += nibble;
    }
    f += static_cast<char>((sum + (badCharCheck ? 1 : 0)) & 0x7F);
  }
  unsigned sum = 1;
  for (unsigned char c : f) sum += c;
  f += static_cast<char>(sum & 0x7F);
  f += static_cast<char>(0xC0 | (fRng() & 0x3F));
  return f;
}

void SL10Device::OnHostBytes(const std::string& bytes, SimPort& port) {
  for (unsigned char b : bytes) {
    const int bits = std::popcount(b);
    if (bits != 3 && bits != 5) continue;  // not a poll
    ++fPolls;
    if (fSilent) continue;
    if (fPendingSent && bits == 5) {
      fPending.clear();
      fPendingSent = false;
    }
    if (!fPending.empty()) {
      std::string frame = fPending;
      if (!fPendingSent && !fDamage.empty()) {
        // Once only: the reader repeats the frame whole until acknowledged.
        if (fDamage == "noend")
          frame.pop_back();
        else if (fDamage == "nostart")
          frame.erase(0, 1);
        else if (fDamage == "drop")
          frame.erase(std::min(fDamageAt, frame.size() - 1), 1);
        else
          frame.insert(std::min(fDamageAt, frame.size()), 1, '\x11');
        fDamage.clear();
      }
      port.Write(frame);
      fPendingSent = true;
    } else {
      port.Write(MakeFrame(fStatus, 1));
    }
  }
}

bool SL10Device::Command(const std::string& verb, const std::string& arg, SimPort&) {
  auto queue = [this](std::string frame) {
    fPending = std::move(frame);
    fPendingSent = false;
    return true;
  };
  // The reader ends the characters with an end sentinel and one of its own.
  if (verb == "swipe") return queue(MakeFrame(fStatus, 2, arg + "?0"));
  if (verb == "swipe-enc") return queue(MakeFrame(fStatus, 2, lumbra::EncodeTessera(arg) + "?0"));
  if (verb == "bad") return queue(MakeFrame(fStatus, 2, arg + "?0", true));
  if (verb == "fail") return queue(MakeFrame(fStatus, 3));
  if (verb == "damage") {
    const size_t sp = arg.find(' ');
    const std::string kind = arg.substr(0, sp);
    if (kind == "noend" || kind == "nostart") {
      if (sp != std::string::npos) return false;
      fDamage = kind;
      return true;
    }
    if ((kind != "drop" && kind != "stray") || sp == std::string::npos) return false;
    char* end = nullptr;
    const unsigned long at = std::strtoul(arg.c_str() + sp + 1, &end, 10);
    if (end == nullptr || *end != '\0' || at < 1) return false;
    fDamage = kind;
    fDamageAt = at;
    return true;
  }
  if (verb == "remove") return fStatus = 1, true;
  if (verb == "insert") return fStatus = 2, true;
  if (verb == "half") return fStatus = 3, true;
  return false;
}

std::string SL10Device::Help() const {
  return "swipe CHARS      a card holding CHARS ('0' to '?')\n"
         "swipe-enc DIGITS a card holding DIGITS in the track-2 cipher\n"
         "bad CHARS        a read whose character checksum is wrong\n"
         "fail             a read failure\n"
         "damage noend|nostart   the next read's frame loses its end or start\n"
         "damage drop|stray N    ... loses byte N, or gets a stray byte there\n"
         "                 (sent whole again until acknowledged)\n"
         "insert | remove | half   card fully in, out, half in\n"
         "silent | answer  stop and resume answering polls\n";
}

// ---------------------------------------------------------------- SLU-4x

std::string SLU4xDevice::MakeFrame(const std::string& tracks) const {
  std::string t[3];
  const size_t a = tracks.find('|');
  if (a == std::string::npos) {
    t[1] = tracks;
  } else {
    const size_t b = tracks.find('|', a + 1);
    t[0] = tracks.substr(0, a);
    t[1] = tracks.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    if (b != std::string::npos) t[2] = tracks.substr(b + 1);
  }
  std::string f = fStx ? "\x02" : "";
  if (!t[0].empty()) f += "%" + t[0] + "?";
  if (!t[1].empty()) f += ";" + t[1] + "?";
  // A track-3 block after no track-2 block is marked '+' either way, or it
  // would read as track 2.
  if (!t[2].empty()) f += std::string(1, t[1].empty() ? '+' : fMark3) + t[2] + "?";
  f += fStx ? "\x03\r\n" : "\r\n";
  return f;
}

std::string SLU4xDevice::Damage(const std::string& frame, const std::string& kind, size_t at) {
  std::string f = frame;
  if (kind == "stx") return "\x02" + f;
  if (kind == "nostart") return f.erase(0, 1);
  if (kind == "noend") {
    while (!f.empty() && (f.back() == '\r' || f.back() == '\n' || f.back() == '\x03')) f.pop_back();
    return f;
  }
  at = std::min(at, f.size());
  if (kind == "etx") return f.insert(at, 1, '\x03');
  if (kind == "stray") return f.insert(at, 1, '\x7f');
  if (kind == "drop" && at < f.size()) return f.erase(at, 1);
  return {};
}

bool SLU4xDevice::Command(const std::string& verb, const std::string& arg, SimPort& port) {
  if (verb == "swipe") return fSilent || port.Write(MakeFrame(arg));
  if (verb == "damage") {
    // KIND [N] T1|T2|T3
    const size_t sp = arg.find(' ');
    if (sp == std::string::npos) return false;
    const std::string kind = arg.substr(0, sp);
    std::string rest = arg.substr(sp + 1);
    size_t at = 0;
    if (kind == "etx" || kind == "drop" || kind == "stray") {
      const size_t sp2 = rest.find(' ');
      char* end = nullptr;
      at = std::strtoul(rest.c_str(), &end, 10);
      if (sp2 == std::string::npos || end != rest.c_str() + sp2) return false;
      rest = rest.substr(sp2 + 1);
    }
    const std::string f = Damage(MakeFrame(rest), kind, at);
    return !f.empty() && (fSilent || port.Write(f));
  }
  if (verb == "cut") {
    // A burst the adapter hands over in two pieces: N bytes, a gap, the rest.
    const size_t sp = arg.find(' ');
    if (sp == std::string::npos) return false;
    const std::string count = arg.substr(0, sp);
    char* end = nullptr;
    const unsigned long n = std::strtoul(count.c_str(), &end, 10);
    if (end == nullptr || *end != '\0') return false;
    if (fSilent) return true;
    const std::string f = MakeFrame(arg.substr(sp + 1));
    const size_t cut = std::min<size_t>(n, f.size());
    if (!port.Write(f.substr(0, cut))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kCutGapMs));
    return port.Write(f.substr(cut));
  }
  if (verb == "framing" && (arg == "stx" || arg == "cr")) return fStx = arg == "stx", true;
  if (verb == "mark3" && (arg == "+" || arg == ";")) return fMark3 = arg[0], true;
  return false;
}

std::string SLU4xDevice::Help() const {
  return "swipe T1|T2|T3   a card with these tracks (empty for a missing one;\n"
         "                 one field alone is track 2)\n"
         "cut N T1|T2|T3   the same frame in two writes, cut after N bytes\n"
         "damage stx|noend|nostart T1|T2|T3   the frame with a stray STX before\n"
         "                 it, without its terminator, or without its first byte\n"
         "damage etx|drop|stray N T1|T2|T3    an ETX put after byte N, byte N\n"
         "                 lost, or a stray byte put there\n"
         "framing stx|cr   frames in STX...ETX, or sentinel...CR LF (default)\n"
         "mark3 +|;        the track-3 start sentinel (default +)\n"
         "silent | answer  swipes send nothing / send again\n";
}

}  // namespace readersim
