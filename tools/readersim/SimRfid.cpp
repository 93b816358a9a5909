#include "readersim/SimRfid.h"

#include <cctype>
#include <chrono>
#include <sstream>
#include <thread>

namespace readersim {

std::string SLR45Device::MakeFrame(const std::string& hex, bool badCheck) {
  std::string digits;
  for (char c : hex) {
    if (c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    digits += c;
  }
  if (digits.size() == 10) digits = "0A01" + digits;
  if (digits.size() != 14) return {};
  std::string body;
  std::uint8_t check = 0;
  for (size_t i = 0; i < digits.size(); i += 2) {
    const auto b = static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16));
    body += static_cast<char>(b);
    check ^= b;
  }
  body += static_cast<char>(badCheck ? check ^ 0x01 : check);
  return "\x02" + body + "\x03";
}

bool SLR45Device::Command(const std::string& verb, const std::string& arg, SimPort& port) {
  if (verb == "present" || verb == "badcheck") {
    const std::string frame = MakeFrame(arg, verb == "badcheck");
    if (frame.empty()) return false;
    return fSilent || port.Write(frame);
  }
  if (verb == "hold") {
    // A real reader repeats the frame for as long as the badge stays in its field.
    std::istringstream in(arg);
    std::string code;
    long ms = 2000;
    in >> code >> ms;
    const std::string frame = MakeFrame(code);
    if (frame.empty() || ms < 0) return false;
    for (long t = 0; t < ms; t += kRepeatMs) {
      if (!fSilent && !port.Write(frame)) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(kRepeatMs));
    }
    return true;
  }
  return false;
}

std::string SLR45Device::Help() const {
  return "present CODE     a badge held to the reader: CODE is 10 hex digits\n"
         "                 (header 0A 01), or 14 with the two header bytes first\n"
         "badcheck CODE    the same frame with a wrong check byte\n"
         "hold CODE [MS]   the badge kept in the field for MS ms (2000): its\n"
         "                 frame again every 100 ms\n"
         "silent | answer  badges send nothing / send again\n";
}

}  // namespace readersim
