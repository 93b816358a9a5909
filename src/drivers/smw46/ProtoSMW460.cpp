#include "drivers/smw46/ProtoSMW460.h"

#include <algorithm>
#include <vector>

#include "comm/DeviceMessages.h"
#include "comm/PortDiscovery.h"
#include "comm/ReadTexts.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"
#include "reader/CustomBadgeReader.h"
#include "reader/TrackData.h"

namespace lumbra {
namespace {

constexpr char ESC = 0x1B;
constexpr char FS = 0x1C;

Tdmsmw46* gShared = nullptr;

// Track 1 or 2: from its marker to the next ESC, without the sentinels.
std::string OuterTrack(const std::string& area, char mark) {
  const size_t at = area.find(std::string{ESC, mark});
  if (at == std::string::npos) return {};
  const std::string rest = area.substr(at + 2);
  if (!rest.empty() && rest[0] == ESC) return {};
  const std::string cut = rest.substr(0, rest.find(ESC));
  return cut.size() <= 2 ? std::string() : cut.substr(1, cut.size() - 2);
}

// Track 3 ends at its end sentinel; a track without one loses its last byte.
std::string ThirdTrack(const std::string& area) {
  const size_t at = area.find(std::string{ESC, '\x03'});
  if (at == std::string::npos) return {};
  const std::string rest = area.substr(at + 2);
  if (rest.empty() || rest[0] == ESC) return {};
  std::string body = rest.substr(1);
  const size_t end = body.find('?');
  if (end != std::string::npos) return body.substr(0, end);
  if (!body.empty()) body.pop_back();
  return body;
}

}  // namespace

bool ParseSMW460Read(const AnsiString& reply, std::int32_t trackCode, AnsiString& tessera,
                     bool* wellFormed) {
  tessera.clear();
  if (wellFormed != nullptr) *wellFormed = false;
  if (reply.empty() || reply[0] != 's') return false;
  const size_t end = reply.find(std::string{FS, ESC});
  if (end == std::string::npos) return false;
  if (wellFormed != nullptr) *wellFormed = true;
  const std::string area = reply.substr(1, end - 1);
  const bool good = end + 2 < reply.size() && reply[end + 2] == '0';
  const std::string t1 = OuterTrack(area, '\x01');
  const std::string t2 = OuterTrack(area, '\x02');
  const std::string t3 = ThirdTrack(area);
  // Track data is printable: a control byte in a track is the line's damage
  // (a marker out of place, noise), never part of a badge.
  const auto damaged = [](const std::string& t) {
    return std::any_of(t.begin(), t.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20; });
  };
  const bool clean = !damaged(t1) && !damaged(t2) && !damaged(t3);
  const std::string sep(1, TrackSeparator);
  switch (trackCode) {
    case 1:
      tessera = t1;
      break;
    case 2:
      tessera = t2;
      break;
    case 3:
      tessera = t3;
      break;
    case 4:
      tessera = t1 + sep + t2;
      break;
    case 5:
      tessera = t2 + sep + t3;
      break;
    case 6:
      tessera = t1 + sep + t3;
      break;
    case 7:
      tessera = t1 + sep + t2 + sep + t3;
      break;
    default:
      break;
  }
  return good && clean;
}

// ------------------------------------------------------------------ Tdmsmw46

Tdmsmw46::Tdmsmw46(TComponent* AOwner) : TPortHolder(AOwner) {
  Name = "dmsmw46";
  ApdComPort1->OnTriggerLineError = [this](TObject* cp, std::uint16_t e, bool b) {
    LineError(cp, e, b);
  };
}

Tdmsmw46& Tdmsmw46::Shared() {
  if (gShared == nullptr) gShared = new Tdmsmw46(nullptr);
  return *gShared;
}

bool Tdmsmw46::SharedExists() {
  return gShared != nullptr;
}

void Tdmsmw46::FreeShared() {
  Tdmsmw46* h = gShared;
  gShared = nullptr;
  if (h != nullptr) TObject::Free(h);
}

void Tdmsmw46::ProtoReceive(const std::uint8_t* buffer, std::int32_t count) {
  fProto->ProcessBuffer(buffer, count);
}

platform::HWND Tdmsmw46::ProtoOwner() const {
  return fProto->OwnerHandle();
}

void Tdmsmw46::LineError(TObject* CP, std::uint16_t Error, bool LineBreak) {
  // A port whose device went away is not a line error of a working reader:
  // the protocol's timer step closes it, reports the reader lost and opens it
  // again when the device is back.
  if (Error & platform::kCeIOE) {
    fLost = true;
    // A driver whose timer rests comes back at once to report it.
    if (fProto != nullptr) platform::MessageLoop().PostMessage(ProtoOwner(), WM_PORT_ENDED, 0, 0);
    return;
  }
  ApdComPort1TriggerLineError(CP, Error, LineBreak);
}

void Tdmsmw46::ClosePort() {
  ApdComPort1->SetOpen(false);
  fLost = false;
}

void Tdmsmw46::OpenPort() {
  if (!ApdComPort1->Open()) fLost = false;
  ApdComPort1->SetOpen(true);
}

// --------------------------------------------------------------- TProtSMW460

TProtSMW460::TProtSMW460(std::int32_t aID, platform::HWND aHwnd)
    : Ownerhandle(aHwnd), fId(aID), dm(&Tdmsmw46::Shared()) {
  dm->fProto = this;
  // No command has been sent yet: the first idle step initialises at once.
  TickCommand = platform::Clock().GetTickCount() - kIdleMs - 1;
}

TProtSMW460::~TProtSMW460() {
  try {
    SetEnabled(false);
  } catch (...) {
  }
  if (dm->fProto == this) dm->fProto = nullptr;
}

void TProtSMW460::Post(std::uint32_t msg, platform::WPARAM wParam, platform::LPARAM lParam) {
  platform::MessageLoop().PostMessage(Ownerhandle, msg, wParam, lParam);
}

std::string TProtSMW460::ComPort() const {
  if (!Port().DevicePath().empty()) return Port().DevicePath();
  return "COM" + std::to_string(Port().ComNumber());
}

void TProtSMW460::SetComPort(const std::string& value) {
  const std::string before = ComPort();
  struct Changed {
    TProtSMW460& p;
    const std::string& before;
    // Also when the new port failed to open: a device on another port knows
    // nothing of the exchange with the old one, and is initialised afresh.
    ~Changed() {
      if (p.ComPort() == before) return;
      p.fDownReported = false;
      if (p.FEnabled) p.ResetState();
    }
  } changed{*this, before};
  Port().SetPortName(Trim(value));
}

void TProtSMW460::SetTrack(std::int32_t value) {
  if (value == fTrack) return;
  if (fPendingOperation != 0) Inizializza();
  fTrack = value;
}

void TProtSMW460::SetCoercitivity(TCoercitivity value) {
  if (value == fCoercitivity) return;
  fCoercitivity = value;
  if (FEnabled) Inizializza();
}

void TProtSMW460::SetEnabled(bool value) {
  if (value == FEnabled) return;
  auto down = [this] {
    FEnabled = true;
    DispoStato = sdTimeout;
    fDownReported = true;
    Post(WM_DISP_TIMEOUT, 0, 0);
  };
  if (value)
    ResetState();
  else
    SwitchOff();
  try {
    if (value)
      dm->OpenPort();
    else
      dm->ClosePort();
  } catch (...) {
    if (value) down();
    throw;
  }
  FEnabled = Port().Open();
  if (value && !FEnabled) down();
}

void TProtSMW460::ResetState() {
  fAfterReset = false;
  StatoCom = scNoData;
  CountRx = 0;
  fTessera.clear();
  fPendingOperation = 0;
  PendingTrame.clear();
  DispoStato = sdStart;
  inited = false;
}

bool TProtSMW460::SendRaw(const AnsiString& bytes) {
  if (!Port().Open()) return false;
  try {
    Port().PutString(bytes);
    return true;
  } catch (...) {
    dm->ClosePort();
    return false;
  }
}

void TProtSMW460::IssueCommand(const AnsiString& command) {
  fAfterReset = false;
  LastCommand = command.empty() ? 0 : static_cast<std::uint8_t>(command[0]);
  fPendingOperation = LastCommand == 'r' ? 54 : LastCommand == 'w' ? 55 : 48;
  TickCommand = platform::Clock().GetTickCount();
  StatoCom = scAttesa;
  SendRaw(AnsiString(1, static_cast<char>(STX)) + command);
}

void TProtSMW460::QueueCommand(const AnsiString& command) {
  if (!PendingTrame.empty() || StatoCom == scAttesa || fAfterReset)
    PendingTrame.push_back(command);
  else
    IssueCommand(command);
}

void TProtSMW460::SendImmediate(const AnsiString& command) {
  // The device needs a gap after this command before it takes another: the
  // commands after it wait in the queue, and the first timer step after the
  // gap sends them. Waiting here would freeze the program meanwhile.
  if (SendRaw(AnsiString(1, static_cast<char>(STX)) + command)) {
    fAfterReset = true;
    TickCommand = platform::Clock().GetTickCount();
  }
}

void TProtSMW460::SwitchOff() {
  PendingTrame.clear();
  fPendingOperation = 0;
  StatoCom = scNoData;
  // The last commands go out back to back: no timer step follows to keep the
  // reset's gap, and the port lets them drain before it closes.
  if (Port().Open() && !dm->PortLost() && SendRaw(AnsiString(1, static_cast<char>(STX)) + "a"))
    SendRaw(AnsiString(1, static_cast<char>(STX)) + "e");
}

void TProtSMW460::Inizializza() {
  PendingTrame.clear();
  fPendingOperation = 0;
  StatoCom = scNoData;
  if (Port().Open() && !dm->PortLost()) {
    SendImmediate("a");
    QueueCommand("e");
    QueueCommand(fCoercitivity == loco ? "y" : "x");
  }
  inited = true;
}

void TProtSMW460::SendNext() {
  if (!inited) {
    Inizializza();
    return;
  }
  if (!PendingTrame.empty()) {
    const AnsiString next = PendingTrame.front();
    PendingTrame.pop_front();
    if (next.empty())
      fPendingOperation = 0;
    else
      IssueCommand(next);
    return;
  }
  ReadTessera(fTrack);
}

void TProtSMW460::ReadTessera(std::int32_t) {
  if (!FEnabled || !inited) return;
  if (fPendingOperation != 0) Inizializza();
  QueueCommand("r");
}

void TProtSMW460::WriteTessera(const AnsiString& data, std::int32_t aTrack) {
  if (!FEnabled || !inited) return;
  const int code = aTrack & 0xFF;
  if (code < 1 || code > 7) throw EBadgeError("Tack value invalid: use 1 to 7");
  static const char kMarks[8][4] = {"",         "\x01",     "\x02",     "\x03",
                                    "\x01\x02", "\x02\x03", "\x01\x03", "\x01\x02\x03"};
  const std::string marks = kMarks[code];
  std::vector<std::string> parts;
  if (marks.size() == 1) {
    parts.push_back(data);
  } else {
    SplitAnsiText(data, parts, TrackSeparator);
    // Checked before anything else happens: a refused write leaves the
    // exchange under way alone.
    if (parts.size() != marks.size()) throw EBadgeError("Invalid tracks count");
  }
  if (fPendingOperation != 0) Inizializza();
  std::string command{'w', ESC, 's'};
  for (size_t i = 0; i < parts.size(); ++i) command += std::string{ESC, marks[i]} + parts[i];
  command += '?';
  command += FS;
  QueueCommand(command);
}

void TProtSMW460::MarkActive() {
  fDownReported = false;
  if (DispoStato != sdAttivo) {
    Post(WM_DISP_RESTORE, 0, 0);
    DispoStato = sdAttivo;
  }
}

void TProtSMW460::UnexpectedReply(bool keepOperation) {
  if (fPendingOperation != 0)
    Post(WM_DISP_ERROR, fPendingOperation, 6);
  else
    Post(WM_DISP_ERROR, 48, 0);
  if (!keepOperation) fPendingOperation = 0;
  CountRx = 0;
  StatoCom = scNoData;
}

void TProtSMW460::ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) {
  if (Len > 0) fLastRxTick = platform::Clock().GetTickCount();
  for (std::int32_t i = 0; i < Len; ++i) {
    const char b = static_cast<char>(Buffer[i]);
    // Longer than any reply: dropped, and the bytes after it wait for an ESC.
    if (CountRx > kMaxReply) CountRx = 0;
    if (CountRx == 0) {
      if (b != ESC) continue;
      BufferRx[0] = static_cast<std::uint8_t>(b);
      CountRx = 1;
      indata = false;
      inrev = false;
      finedata = 0;
      StatoCom = scAttesa;
      continue;
    }
    if (CountRx == 1) {
      switch (b) {
        case '0':
          StatoCom = scNoData;
          CountRx = 0;
          MarkActive();
          // A read stays outstanding until a card comes, and its wait goes on
          // (the device is there: the wait starts over).
          if (LastCommand == 'r') {
            if (fPendingOperation == opRead) {
              StatoCom = scAttesa;
              TickCommand = platform::Clock().GetTickCount();
            }
            break;
          }
          if (fPendingOperation == opWrite) Post(WM_OPERATION_DONE, opWrite, 0);
          fPendingOperation = 0;
          break;
        case '9':
          StatoCom = scNoData;
          CountRx = 0;
          MarkActive();
          Post(WM_DISP_ERROR, fPendingOperation, 16);
          fPendingOperation = 0;
          break;
        case 'y':
          StatoCom = scNoData;
          fPendingOperation = 0;
          CountRx = 0;
          MarkActive();
          break;
        case 's':
          indata = true;
          finedata = 0;
          BufferRx[static_cast<size_t>(CountRx++)] = static_cast<std::uint8_t>(b);
          break;
        case ESC:
          // The first ESC was alone (noise, or a reply that lost the rest):
          // this one begins the reply.
          break;
        case 'R':
          inrev = true;
          BufferRx[static_cast<size_t>(CountRx++)] = static_cast<std::uint8_t>(b);
          break;
        default:
          UnexpectedReply(false);
          break;
      }
      continue;
    }
    if (indata && b == 's' && BufferRx[static_cast<size_t>(CountRx - 1)] == ESC) {
      // ESC "s" is where a read reply begins: the one under way lost its end
      // (its FS, its status) and is a failed read; the new one is read whole.
      Post(WM_DISP_ERROR, opRead, 6);
      BufferRx[1] = static_cast<std::uint8_t>(b);
      CountRx = 2;
      finedata = 0;
      continue;
    }
    if (b == ESC) {
      BufferRx[static_cast<size_t>(CountRx++)] = static_cast<std::uint8_t>(b);
    } else if (b == FS) {
      BufferRx[static_cast<size_t>(CountRx++)] = static_cast<std::uint8_t>(b);
      if (finedata == 0) finedata = 1;
    } else if (indata) {
      BufferRx[static_cast<size_t>(CountRx++)] = static_cast<std::uint8_t>(b);
      if (finedata == 1) {
        ProcessFrame();
        CountRx = 0;
        StatoCom = scNoData;
      }
    } else if (inrev) {
      BufferRx[static_cast<size_t>(CountRx++)] = static_cast<std::uint8_t>(b);
      if (CountRx >= 9) {
        inrev = false;
        CountRx = 0;
        // Not the answer of the operation under way, which goes on waiting.
        StatoCom = fPendingOperation != 0 ? scAttesa : scNoData;
      }
    } else {
      UnexpectedReply(true);
    }
  }
  if (OnBusy && !StepIdle()) OnBusy();
}

void TProtSMW460::ProcessFrame() {
  const AnsiString text(reinterpret_cast<const char*>(BufferRx.data()) + 1,
                        static_cast<size_t>(CountRx - 1));
  StatoCom = scNoData;
  MarkActive();
  AnsiString tessera;
  // Only a clean read is typed: the tracks of a read the device flags as
  // bad, or of a reply without its track area, would put a wrong badge into
  // the user's application. The user hears the read error and swipes again.
  if (ParseSMW460Read(text, fTrack, tessera)) {
    fTessera = tessera;
    PostTesseraRead(Ownerhandle, static_cast<platform::WPARAM>(fId), fTessera);
  } else {
    Post(WM_DISP_ERROR, opRead, 6);
  }
  fPendingOperation = 0;
}

void TProtSMW460::PortDown(std::uint32_t now) {
  if (Port().Open()) dm->ClosePort();
  ResetState();
  DispoStato = sdTimeout;
  TickCommand = now;
  // Once per loss; the device answering again re-arms it.
  if (!fDownReported) {
    fDownReported = true;
    Post(WM_DISP_TIMEOUT, 0, 0);
  }
}

bool TProtSMW460::StepIdle() const {
  return FEnabled && DispoStato == sdAttivo && Port().Open() && !dm->PortLost() &&
         StatoCom == scAttesa && fPendingOperation == opRead && CountRx == 0;
}

void TProtSMW460::TimerProc() {
  if (!FEnabled) return;
  const std::uint32_t now = platform::Clock().GetTickCount();
  if (DispoStato == sdTimeout) {
    if (Port().ComNumber() == 0 && Port().DevicePath().empty()) {
      dm->ClosePort();
      const AnsiString found = FindProlificPort();
      if (!found.empty()) Port().SetPortName(found);
    }
    if (Port().ComNumber() != 0 || !Port().DevicePath().empty()) {
      try {
        dm->ClosePort();
        dm->OpenPort();
      } catch (...) {
        // Tried again on a later step.
      }
      DispoStato = sdStart;
    }
    return;
  }
  if (!Port().Open() || dm->PortLost()) {
    PortDown(now);
    return;
  }
  // A reply whose bytes stopped coming will not end: dropped, so that it
  // neither takes the next reply into it nor holds up the next read. Bytes
  // still waiting in the port (the program was busy) are not a quiet line.
  if (CountRx > 0 && now - fLastRxTick > kReplyQuietMs && Port().InBuffUsed() == 0) DropReply();
  // Modulo 2^32: the tick count wraps after about 49.7 days.
  const std::uint32_t elapsed = now - TickCommand;
  if (StatoCom == scAttesa) {
    std::uint64_t limit = kCommandTimeoutMs;
    if (fPendingOperation == opRead)
      limit = kReadLivenessMs;
    else if (fPendingOperation == opWrite)
      limit =
          fTimeoutWrite > 0 ? static_cast<std::uint64_t>(fTimeoutWrite) * 1000u : kLongTimeoutMs;
    // Not while a reply is under way: it may be the card's.
    if (elapsed <= limit || (fPendingOperation == opRead && CountRx > 0)) return;
    CountRx = 0;
    StatoCom = scNoData;
    if (fPendingOperation != 48 || DispoStato == sdTimeout) {
      SendNext();
    } else {
      // An initialisation command went unanswered: the device is gone.
      ResetState();
      DispoStato = sdTimeout;
      TickCommand = now;
      fDownReported = true;
      Post(WM_DISP_TIMEOUT, 0, 0);
    }
  } else if (fPendingOperation == 0 &&
             (fAfterReset ? elapsed >= kImmediatePauseMs : elapsed > kIdleMs)) {
    SendNext();
  }
}

void TProtSMW460::DropReply() {
  const bool readReply = indata;
  CountRx = 0;
  indata = false;
  inrev = false;
  if (readReply) {
    // The card's reply came damaged: the user is told, and the read is asked
    // for again by the next idle step.
    Post(WM_DISP_ERROR, opRead, 6);
    fPendingOperation = 0;
  }
  // A command still waiting for its answer goes on waiting, within its limit.
  StatoCom = fPendingOperation != 0 ? scAttesa : scNoData;
}

}  // namespace lumbra
