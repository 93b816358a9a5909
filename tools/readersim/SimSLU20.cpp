#include "readersim/SimSLU20.h"

#include <bitset>

namespace readersim {
namespace {

constexpr std::size_t kBlockSize = 28;
constexpr std::size_t kMaxCodes = 25;
constexpr int kPacketData = 7;

std::uint8_t WithParity(std::uint8_t value) {
  return std::bitset<4>(value).count() % 2 == 0 ? value | 0x10 : value;
}

}  // namespace

SimHidIdentity SLU20Device::Identity() const {
  SimHidIdentity id;
  id.vendorId = 0x1F3A;
  id.productId = 0x0020;
  id.version = 0x0110;
  id.inputReportLength = 1 + 1 + 7;
  id.product = "Tavik SLU-11 USB Badge Reader";
  return id;
}

bool SLU20Device::EncodeTrack(const std::string& text, std::vector<std::uint8_t>& codes) {
  if (text.size() + 2 > kMaxCodes) return false;
  codes.clear();
  std::uint8_t lrc = 0x0B;  // the start sentinel, which the block leaves out
  for (char c : text) {
    std::uint8_t value;
    if (c >= '0' && c <= '9')
      value = static_cast<std::uint8_t>(c - '0');
    else if (c == '=' || c == 'D' || c == 'd')
      value = 0x0D;
    else
      return false;
    codes.push_back(WithParity(value));
    lrc ^= value;
  }
  codes.push_back(WithParity(0x0F));
  lrc ^= 0x0F;
  codes.push_back(WithParity(lrc));
  return true;
}

std::string SLU20Device::Block(std::uint8_t code, const std::vector<std::uint8_t>& codes) {
  std::string block(kBlockSize, '\0');
  block[0] = static_cast<char>(code);
  const std::size_t n = codes.size() < kMaxCodes ? codes.size() : kMaxCodes;
  block[1] = static_cast<char>(n);
  for (std::size_t i = 0; i < n; ++i) block[3 + i] = static_cast<char>(codes[i]);
  return block;
}

void SLU20Device::OnOutputReport(const std::string& report, SimHidPort& port) {
  if (fSilent) return;
  if (report.size() < 3 || report[1] != 0x30 || report[2] != 0x30) return;
  if (fNext == 1) fBlock = Block(fCode, fCodes);
  std::string packet(1, '\0');
  packet += static_cast<char>(fNext);
  packet += fBlock.substr(static_cast<std::size_t>((fNext - 1) * kPacketData), kPacketData);
  port.SendInput(packet);
  if (fNext < 4) {
    ++fNext;
    return;
  }
  fNext = 1;
  if (fSwipeBlocks > 0 && --fSwipeBlocks == 0) {
    fCode = 0;
    fCodes.clear();
  }
}

bool SLU20Device::Command(const std::string& verb, const std::string& arg, SimHidPort&) {
  std::vector<std::uint8_t> codes;
  if (verb == "insert" || verb == "swipe" || verb == "badparity" || verb == "badcheck") {
    if (arg.empty() || !EncodeTrack(arg, codes)) return false;
    if (verb == "badparity") codes[codes.size() / 2 - 1] ^= 0x10;
    if (verb == "badcheck") codes.back() ^= 0x01;
    fCode = 2;
    fCodes = codes;
    // A swiped card is seen in two whole blocks, then it is out.
    fSwipeBlocks = verb == "swipe" ? 2 : 0;
    return true;
  }
  if (verb == "empty" || verb == "half" || verb == "remove") {
    if (!arg.empty()) return false;
    fCode = verb == "empty" ? 2 : verb == "half" ? 1 : 0;
    fCodes.clear();
    fSwipeBlocks = 0;
    return true;
  }
  return false;
}

std::string SLU20Device::Help() const {
  return "insert TRACK2    insert a card (digits, = or D) and keep it in\n"
         "swipe TRACK2     insert a card and take it out after two blocks\n"
         "remove           take the card out\n"
         "half             a card inserted half-way\n"
         "empty            a card inserted with no track data\n"
         "badparity TRACK2 a card with a parity error in its middle\n"
         "badcheck TRACK2  a card whose longitudinal check is wrong\n";
}

}  // namespace readersim
