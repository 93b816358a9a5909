#include "readersim/SimSW30.h"

#include <cstdlib>

namespace readersim {
namespace {

constexpr char STX = 0x02, ETX = 0x03, EOT = 0x04, ENQ = 0x05, ACK = 0x06, DLE = 0x10, NAK = 0x15;

}  // namespace

std::string SW30Device::Frame(const std::string& text) {
  char bcc = ETX;
  for (char c : text) bcc ^= c;
  return STX + text + ETX + bcc;
}

std::string SW30Device::Status() const {
  switch (fCard) {
    case Card::Entrance:
      return "01";
    case Card::Inside:
      return "02";
    default:
      return "00";
  }
}

std::string SW30Device::Execute(const std::string& text) {
  if (text.size() < 2 || text[0] != 'C') return {};  // DLE EOT and the like: no answer
  const char code = text[1];
  const auto positive = [&](const std::string& data = {}) {
    const std::string status = Status();
    Reported(status);
    return std::string("P") + code + "0" + status + data;
  };
  const auto negative = [&](int error) {
    return std::string("N") + code + "0" + static_cast<char>('0' + error / 10) +
           static_cast<char>('0' + error % 10);
  };
  const int arg = text.size() > 2 ? static_cast<unsigned char>(text[2]) - 0x30 : 0;
  switch (code) {
    case '6':
    case '7': {
      if (fCard == Card::None) return negative(6);
      if (fFailCode >= 0) {
        const int error = fFailCode;
        fFailCode = -1;
        return negative(error);
      }
      const int track = code == '6' ? (arg & 15) : (arg & 7);
      if (track < 1 || track > 3) return negative(2);
      fCard = Card::Inside;  // the motor draws the card in
      std::lock_guard lock(fTracksMutex);
      std::string& stored = fTracks[static_cast<size_t>(track - 1)];
      if (code == '7') {
        stored = text.substr(3);
        return positive();
      }
      if (stored.empty()) return negative(25);
      return positive(stored);
    }
    case '3':
      // Ejected to the entrance (C30) or out at the back (C31).
      if (fCard != Card::None) {
        fCard = text == "C31" ? Card::None : Card::Entrance;
        fSeenEmpty = false;
      }
      return positive();
    case '2':
      fCard = Card::None;  // captured
      fSeenEmpty = false;
      return positive();
    case '5':
      if (text.size() > 2 && (text[2] & 0x40)) {
        fBeeps.fetch_add(text[2] & 7);
      } else {
        fLights = arg & 15;
      }
      return positive();
    case '<':
      return positive("SW30-SIM 1.0");
    default:
      return positive();
  }
}

void SW30Device::OnHostBytes(const std::string& bytes, SimPort& port) {
  for (char b : bytes) {
    if (fSilent) continue;
    if (fCheckNext) {
      fCheckNext = false;
      fInFrame = false;
      char bcc = 0;
      for (size_t i = 1; i < fFrame.size(); ++i) bcc ^= fFrame[i];
      if (bcc != b) {
        port.Write(std::string(1, NAK));
        continue;
      }
      const std::string text = fFrame.substr(1, fFrame.size() - 2);
      const std::string answer = Execute(text);
      // A reset command is acknowledged and its exchange ended at the enquiry.
      fAnswer = answer.empty() ? std::string(1, DLE) : Frame(answer);
      port.Write(std::string(1, ACK));
      continue;
    }
    if (fInFrame) {
      fFrame += b;
      if (b == ETX) fCheckNext = true;
      continue;
    }
    if (b == STX) {
      fFrame.assign(1, STX);
      fInFrame = true;
    } else if (b == ENQ) {
      std::string answer = fAnswer.empty() ? std::string(1, DLE) : fAnswer;
      if (fCutAt >= 0 && answer.size() > 2 && answer[2] == '6') {
        // Line noise that reads as the device ending the exchange.
        answer.insert(std::min(answer.size(), static_cast<size_t>(fCutAt)), 1, DLE);
        fCutAt = -1;
      }
      port.Write(answer);
    } else if (b == NAK) {
      if (!fAnswer.empty()) port.Write(fAnswer);
    } else if (b == EOT) {
      fAnswer.clear();  // DLE EOT: the host ends the exchange
    }
  }
}

void SW30Device::Offer(const std::string& tracks) {
  std::array<std::string, 3> t;
  const size_t a = tracks.find('|');
  if (a == std::string::npos) {
    t[1] = tracks;
  } else {
    const size_t b = tracks.find('|', a + 1);
    t[0] = tracks.substr(0, a);
    t[1] = tracks.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1);
    if (b != std::string::npos) t[2] = tracks.substr(b + 1);
  }
  std::lock_guard lock(fTracksMutex);
  if (fCard == Card::None && fSeenEmpty) {
    fTracks = t;
    fCard = Card::Entrance;
    return;
  }
  if (fCard != Card::None) fSeenEmpty = false;
  fCard = Card::None;
  fHeldTracks = t;
  fOfferHeld = true;
}

void SW30Device::Reported(const std::string& status) {
  if (status != "00") return;
  fSeenEmpty = true;
  if (!fOfferHeld) return;
  // The next answer shows the card at the entrance.
  fOfferHeld = false;
  std::lock_guard lock(fTracksMutex);
  fTracks = fHeldTracks;
  fCard = Card::Entrance;
}

bool SW30Device::Command(const std::string& verb, const std::string& arg, SimPort&) {
  if (verb == "offer" || verb == "swipe") return Offer(arg), true;
  if (verb == "blank") return Offer("||"), true;
  if (verb == "take" || verb == "remove") {
    if (fCard != Card::None) fSeenEmpty = false;
    fCard = Card::None;
    fOfferHeld = false;
    return true;
  }
  if (verb == "cut") {
    char* end = nullptr;
    const long at = std::strtol(arg.c_str(), &end, 10);
    if (arg.empty() || *end != '\0' || at < 1) return false;
    fCutAt = static_cast<int>(at);
    return true;
  }
  if (verb == "fail") {
    char* end = nullptr;
    const long code = std::strtol(arg.c_str(), &end, 10);
    if (arg.empty() || *end != '\0' || code < 0 || code > 99) return false;
    fFailCode = static_cast<int>(code);
    return true;
  }
  return false;
}

std::string SW30Device::Help() const {
  return "offer T1|T2|T3   a card with these tracks at the entrance (one field\n"
         "                 alone is track 2; swipe is the same); one still in\n"
         "                 the device is taken out first\n"
         "blank            a blank card at the entrance\n"
         "take             the card taken out\n"
         "fail CODE        the next read or write answers N with CODE\n"
         "cut N            the next read answer gets a DLE after its Nth byte\n"
         "silent | answer  stop and resume answering\n";
}

}  // namespace readersim
