#include "drivers/slr45/protoRKM530.h"

#include <algorithm>
#include <charconv>

#include "comm/DeviceMessages.h"
#include "comm/PortDiscovery.h"
#include "comm/ReadTexts.h"
#include "platform/Clock.h"
#include "platform/DeviceChange.h"
#include "platform/SerialDeviceTable.h"
#include "platform/SerialPort.h"
#include "reader/CustomBadgeReader.h"
#include "reader/TrackData.h"

namespace lumbra {
namespace {

constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;
// Bytes after STX up to and including the check byte; an ETX among them is data.
constexpr std::int32_t kHeadBytes = 8;
constexpr platform::WPARAM kDataError = 54;
constexpr platform::LPARAM kBadData = 24;

std::int64_t HexToInt64(const std::string& S) {
  std::uint64_t value = 0;
  auto [ptr, ec] = std::from_chars(S.data(), S.data() + S.size(), value, 16);
  if (S.empty() || ec != std::errc() || ptr != S.data() + S.size() || value > INT64_MAX)
    throw EConvertError("'" + S + "' is not a valid integer value");
  return static_cast<std::int64_t>(value);
}

}  // namespace

bool RenderBadgeCode(const std::uint8_t* code, std::int32_t trackCode, AnsiString& out) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string hex;
  for (int i = 0; i < 5; ++i) {
    hex += kHex[code[i] >> 4];
    hex += kHex[code[i] & 0x0F];
  }
  // The split form reads c1 to c4 least significant byte first.
  const std::uint32_t low =
      static_cast<std::uint32_t>(code[1]) | static_cast<std::uint32_t>(code[2]) << 8 |
      static_cast<std::uint32_t>(code[3]) << 16 | static_cast<std::uint32_t>(code[4]) << 24;
  const std::string split = WordToDigits(code[0], 3) + CardinalToDigits(low, 10);
  const std::string decimal = std::to_string(HexToInt64(hex));
  const std::string sep(1, TrackSeparator);
  switch (trackCode) {
    case 1:
      out = hex;
      return true;
    case 2:
      out = split;
      return true;
    case 3:
      out = decimal;
      return true;
    case 4:
      out = hex + sep + split;
      return true;
    case 5:
      out = split + sep + decimal;
      return true;
    case 6:
      out = hex + sep + decimal;
      return true;
    case 7:
      out = hex + sep + split + sep + decimal;
      return true;
    default:
      return false;
  }
}

// ------------------------------------------------------------------ TdmProtrf

TdmProtrf::TdmProtrf(TComponent* AOwner) : TPortHolder(AOwner) {
  Name = "dmProtrf";
  wc1 = new TWindowedComponent(this);
  wc1->Name = "wc1";
  wc1->OnMessage = [this](TMessage& Msg, bool& Handled) { wc1Message(Msg, Handled); };
  // A pulled adapter is told by its port as a line error on a lost device.
  ApdComPort1->OnTriggerLineError = [this](TObject* cp, std::uint16_t e, bool b) {
    LineError(cp, e, b);
  };
  DataModuleCreate();
}

void TdmProtrf::DataModuleCreate() {
  // Broadcasts reach only windows that exist: the window is made at once.
  wc1->HandleNeeded();
}

void TdmProtrf::ProtoReceive(const std::uint8_t* buffer, std::int32_t count) {
  fProto->ProcessBuffer(buffer, count);
}

platform::HWND TdmProtrf::ProtoOwner() const {
  return fProto->Ownerhandle;
}

void TdmProtrf::wc1Message(TMessage& Msg, bool& Handled) {
  if (Msg.Msg != platform::WM_DEVICECHANGE) return;
  Handled = true;
  PortRemoved(Msg);
}

void TdmProtrf::PortRemoved(TMessage& Msg) {
  if (Msg.WParam != platform::DBT_DEVICEREMOVECOMPLETE) return;
  const platform::TDevBroadcastPort* port = platform::PortBroadcastOf(Msg.LParam);
  if (port == nullptr) return;
  if (fProto == nullptr || !fProto->FEnabled || !fProto->HasPort()) return;
  const std::string name = port->dbcp_name;
  const std::string ours = fProto->ComPort();
  // A numbered port is also known by the device it stands for.
  bool same = SameText(name, ours);
  if (!same && platform::HasSerialBackend())
    same = SameText(name, platform::SerialBackend().DevicePath(ours));
  if (same) Unplugged();
}

void TdmProtrf::LineError(TObject* CP, std::uint16_t Error, bool LineBreak) {
  if (ApdComPort1->Lost()) {
    // The device went away under the open port: the same as its removal.
    if (fProto != nullptr && fProto->FEnabled) Unplugged();
    return;
  }
  ApdComPort1TriggerLineError(CP, Error, LineBreak);
}

void TdmProtrf::Unplugged() {
  fProto->Unplugged();
}

// ---------------------------------------------------------------- TProtRKM530

TProtRKM530::TProtRKM530(std::int32_t aID, platform::HWND aHwnd)
    : Ownerhandle(aHwnd), fID(aID), dm(new TdmProtrf(nullptr)) {
  dm->fProto = this;
  fTrack = 3;
}

TProtRKM530::~TProtRKM530() {
  try {
    SetEnabled(false);
  } catch (...) {
  }
  TObject::Free(dm);
}

std::string TProtRKM530::ComPort() const {
  const TApdComPort& port = *dm->ApdComPort1;
  if (!port.DevicePath().empty()) return port.DevicePath();
  return "COM" + std::to_string(port.ComNumber());
}

void TProtRKM530::SetComPort(const std::string& value) {
  TApdComPort& port = *dm->ApdComPort1;
  struct Home {
    TProtRKM530& p;
    // Also when reopening on the new port raised: the name is taken anyway.
    // A port the user chose is no trial, and every port a candidate again.
    ~Home() {
      // The name as given: a "COMn" port has no device path on Windows.
      p.fHomePath = p.HasPort() ? p.ComPort() : std::string();
      p.fOnTrial = false;
      p.fPassedOver.clear();
    }
  } home{*this};
  const std::string text = Trim(value);
  if (text.empty())
    port.SetComNumber(0);
  else
    port.SetPortName(text);
}

bool TProtRKM530::HasPort() const {
  return dm->ApdComPort1->ComNumber() != 0 || !dm->ApdComPort1->DevicePath().empty();
}

void TProtRKM530::Post(std::uint32_t msg, platform::WPARAM wParam, platform::LPARAM lParam) {
  platform::MessageLoop().PostMessage(Ownerhandle, msg, wParam, lParam);
}

void TProtRKM530::ResetState() {
  CountRx = 0;
  fHeld = false;
  fOnTrial = false;
  fTessera.clear();
  DispoStato = sdStart;
}

void TProtRKM530::SetEnabled(bool Value) {
  if (Value == FEnabled) return;
  TApdComPort& port = *dm->ApdComPort1;
  struct Settle {
    TProtRKM530& p;
    bool value;
    // Also when opening raised: the timer step goes on trying the port.
    ~Settle() {
      p.FEnabled = p.dm->ApdComPort1->Open();
      if (value && !p.FEnabled) {
        p.FEnabled = true;
        p.DispoStato = sdTimeout;
        p.Post(WM_DISP_TIMEOUT, static_cast<platform::WPARAM>(p.fID), 0);
      }
    }
  } settle{*this, Value};
  if (Value) {
    ResetState();
    port.SetOpen(true);
  } else {
    port.SetOpen(false);
  }
}

void TProtRKM530::Unplugged() {
  SetEnabled(false);
  dm->ApdComPort1->SetComNumber(0);  // no port: the adapter is looked for
  ResetState();
  Post(WM_DISP_TIMEOUT, static_cast<platform::WPARAM>(fID), 0);
  FEnabled = true;
}

bool TProtRKM530::Reopen() {
  TApdComPort& port = *dm->ApdComPort1;
  port.SetOpen(false);
  // Bytes from before belong to no frame of the new line.
  CountRx = 0;
  try {
    port.SetOpen(true);
  } catch (...) {
    // Tried again two steps later.
  }
  DispoStato = sdStart;
  return port.Open();
}

void TProtRKM530::Search() {
  TApdComPort& port = *dm->ApdComPort1;
  // A port given back and since unplugged may come back as the reader.
  std::vector<platform::SerialDeviceEntry> present;
  platform::SerialDeviceTable().Read(present);
  std::erase_if(fPassedOver, [&](const std::string& p) {
    return std::none_of(present.begin(), present.end(),
                        [&](const platform::SerialDeviceEntry& e) { return e.port == p; });
  });
  port.SetOpen(false);
  port.SetPortName(Trim(FindProlificPort(fPassedOver)));
  if (!HasPort()) {
    port.SetOpen(false);
    port.SetPortName(Trim(FindUsbSerialPort(fPassedOver)));
  }
  fOnTrial = HasPort();
}

void TProtRKM530::GiveUpTrial() {
  TApdComPort& port = *dm->ApdComPort1;
  fPassedOver.push_back(ComPort());
  port.SetOpen(false);
  port.SetComNumber(0);
  CountRx = 0;
  fOnTrial = false;
  // Still shown as the problem of the unplug: nothing more to tell.
  DispoStato = sdTimeout;
}

bool TProtRKM530::StepIdle() const {
  return FEnabled && DispoStato == sdAttivo && dm->ApdComPort1->Open();
}

void TProtRKM530::TimerProc() {
  if (!FEnabled) return;
  TApdComPort& port = *dm->ApdComPort1;
  const std::uint64_t now = platform::Clock().GetTickCount64();
  if (DispoStato == sdTimeout) {
    if (!fHomePath.empty() && (!HasPort() || ComPort() != fHomePath)) {
      // An adapter that comes back usually comes back under its configured
      // path (a by-id link keeps its name): that is tried before any search,
      // and a port found by a search is kept only while it stays open.
      port.SetOpen(false);
      port.SetPortName(fHomePath);
      fOnTrial = false;
      if (Reopen()) return;
      port.SetComNumber(0);
    }
    if (!HasPort()) Search();
    if (HasPort() && Reopen()) fTrialSince = now;
    return;
  }
  if (!port.Open()) {
    DispoStato = sdTimeout;
  } else if (fOnTrial) {
    // Not shown working before a valid frame shows the reader behind it.
    if (now - fTrialSince >= kTrialMs) GiveUpTrial();
  } else if (DispoStato != sdAttivo) {
    Post(WM_DISP_RESTORE, static_cast<platform::WPARAM>(fID), 0);
    DispoStato = sdAttivo;
  }
}

void TProtRKM530::ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) {
  for (std::int32_t i = 0; i < Len; ++i) {
    const std::uint8_t b = Buffer[i];
    if (CountRx == 0) {
      if (b == STX) {
        BufferRx[0] = STX;
        CountRx = 1;
      }
      continue;
    }
    if (b == ETX && CountRx > kHeadBytes) {
      if (CountRx <= kMaxFrameBytes) ProcessFrame();
      CountRx = 0;  // ended, or abandoned after using every position
    } else if (CountRx <= kMaxFrameBytes) {
      BufferRx[static_cast<size_t>(CountRx++)] = b;
    } else {
      CountRx = 0;  // too long: abandoned, the byte dropped
    }
  }
}

void TProtRKM530::ProcessFrame() {
  const std::string text(reinterpret_cast<const char*>(BufferRx.data()) + 1,
                         static_cast<size_t>(CountRx - 1));
  const bool valid = (text[1] == 1 || text[1] == 2) && DecodeBadge(text);
  // On a port the search took, what is not the reader's is no news of it.
  if (fOnTrial && !valid) return;
  fOnTrial = false;
  if (DispoStato != sdAttivo) {
    Post(WM_DISP_RESTORE, static_cast<platform::WPARAM>(fID), 0);
    DispoStato = sdAttivo;
  }
  // Any frame, a spoilt one too, shows that a badge is still in the field.
  const std::uint64_t now = platform::Clock().GetTickCount64();
  const bool quiet = !fHeld || now - fHeldSeen >= kLeftFieldMs;
  fHeldSeen = now;
  if (!valid) {
    Post(WM_DISP_ERROR, kDataError, kBadData);
    return;
  }
  const auto* code = reinterpret_cast<const std::uint8_t*>(text.data()) + 2;
  if (!quiet && std::equal(fHeldCode.begin(), fHeldCode.end(), code)) return;  // a repeat
  std::copy(code, code + fHeldCode.size(), fHeldCode.begin());
  fHeld = true;
  PostTesseraRead(Ownerhandle, static_cast<platform::WPARAM>(fID), fTessera);
}

bool TProtRKM530::DecodeBadge(const std::string& text) {
  std::uint8_t check = 0;
  for (int i = 0; i < 7; ++i) check ^= static_cast<std::uint8_t>(text[static_cast<size_t>(i)]);
  if (check != static_cast<std::uint8_t>(text[7])) return false;
  // A track code outside 1 to 7 has no rendering: reading the frame as the
  // previous badge would type a code nobody presented.
  AnsiString badge;
  if (!RenderBadgeCode(reinterpret_cast<const std::uint8_t*>(text.data()) + 2, fTrack, badge))
    return false;
  fTessera = badge;
  return true;
}

}  // namespace lumbra
