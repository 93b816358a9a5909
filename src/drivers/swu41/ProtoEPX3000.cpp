#include "drivers/swu41/ProtoEPX3000.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "comm/DeviceMessages.h"
#include "comm/PortDiscovery.h"
#include "comm/ReadTexts.h"
#include "platform/Clock.h"
#include "platform/MessageLoop.h"
#include "platform/SerialPort.h"
#include "reader/CustomBadgeReader.h"
#include "reader/TrackData.h"

namespace lumbra {

using namespace epx3000;

// ------------------------------------------------------------- Tdmepx3000

Tdmepx3000::Tdmepx3000(TComponent* AOwner) : TPortHolder(AOwner) {
  Name = "dmepx3000";
  ApdComPort1->OnTriggerLineError = [this](TObject* cp, std::uint16_t e, bool b) {
    LineError(cp, e, b);
  };
}

void Tdmepx3000::ProtoReceive(const std::uint8_t* buffer, std::int32_t count) {
  fProto->ProcessBuffer(buffer, count);
}

platform::HWND Tdmepx3000::ProtoOwner() const {
  return fProto->OwnerHandle();
}

bool Tdmepx3000::ReportLineErrors() const {
  return fProto->StatoLettore() == sdAttivo;
}

void Tdmepx3000::LineError(TObject* CP, std::uint16_t Error, bool LineBreak) {
  // The port tells the loss of its device as an I/O error: that is no fault
  // of the line but a reader gone, shown as such once the port is closed.
  if ((Error & platform::kCeIOE) != 0) {
    if (fProto != nullptr) {
      fProto->PortLost();
      // A resting timer would show the loss only a second later.
      platform::MessageLoop().PostMessage(ProtoOwner(), WM_PORT_ENDED, 0, 0);
    }
    return;
  }
  ApdComPort1TriggerLineError(CP, Error, LineBreak);
}

// ------------------------------------------------------------ helpers

namespace epx3000 {

std::uint8_t CalcLrc(const std::string& text) {
  std::uint8_t lrc = 0;
  for (char c : text) lrc ^= static_cast<std::uint8_t>(c);
  return lrc;
}

std::string Frame(const std::string& payload) {
  std::string body = payload;
  body += static_cast<char>(ETX);
  std::string frame(1, static_cast<char>(STX));
  frame += body;
  frame += static_cast<char>(CalcLrc(body));
  return frame;
}

char StartOffsetDigit(long double mm) {
  if (!std::isfinite(mm) || mm < -0.5L || mm > 1000.0L) return '9';
  long double n = std::floor(mm);
  const long double frac = mm - n;
  if (frac > 0.5L || (frac == 0.5L && std::fmod(n, 2.0L) != 0)) n += 1;
  if (n < 0) return '9';
  if (n <= 17) return '6';
  if (n <= 20) return '7';
  if (n <= 23) return '8';
  return '9';
}

bool WritePayload(const AnsiString& data, std::uint8_t code, std::string& payload) {
  // The parts stay bytes: the device writes them as they are.
  std::vector<std::string> parts;
  SplitText(data, parts, TrackSeparator);
  auto block = [](char sentinel, const std::string& text) {
    return std::string(1, sentinel) + text + "?";
  };
  switch (code) {
    case 1:
      payload = block('%', data);
      return true;
    case 2:
      payload = block(';', data);
      return true;
    case 3:
      payload = block('+', data);
      return true;
    case 4:
    case 5:
    case 6:
      if (parts.size() != 2) return false;
      payload = code == 4   ? block('%', parts[0]) + block(';', parts[1])
                : code == 5 ? block(';', parts[0]) + block('+', parts[1])
                            : block('%', parts[0]) + block('+', parts[1]);
      return true;
    case 7:
      if (parts.size() != 3) return false;
      payload = block('%', parts[0]) + block(';', parts[1]) + block('+', parts[2]);
      return true;
    default:
      return false;
  }
}

AnsiString ParseTracks(const std::string& reply) {
  std::string tracks[3];
  bool present[3] = {false, false, false};
  int current = -1;
  for (char c : reply) {
    if (current < 0) {
      current = c == '%' ? 0 : c == ';' ? 1 : c == '+' ? 2 : -1;
      if (current >= 0) present[current] = true;
    } else if (c == '?') {
      current = -1;
    } else {
      tracks[current] += c;
    }
  }
  AnsiString out;
  bool first = true;
  for (int t = 0; t < 3; ++t) {
    if (!present[t]) continue;
    if (!first) out += TrackSeparator;
    out += tracks[t];
    first = false;
  }
  return out;
}

}  // namespace epx3000

// ------------------------------------------------------------ TProtEPX3000

TProtEPX3000::TProtEPX3000(std::int32_t aID, platform::HWND aHwnd)
    : TProtocol(aID, aHwnd, nullptr) {
  dm = new Tdmepx3000(nullptr);
  dm->fProto = this;
  fDescri = "Comunicazione SWU-41";
  Fautosave = false;
  FOwnVettore = false;
}

TProtEPX3000::~TProtEPX3000() {
  try {
    SetEnabled(false);
  } catch (...) {
    // Released all the same.
  }
  dm->fProto = nullptr;
  TObject::Free(dm);
}

void TProtEPX3000::Post(std::uint32_t msg, platform::WPARAM w, platform::LPARAM l) {
  platform::MessageLoop().PostMessage(Ownerhandle, msg, w, l);
}

std::string TProtEPX3000::ComPort() const {
  const TApdComPort& port = *dm->ApdComPort1;
  if (!port.DevicePath().empty()) return port.DevicePath();
  return "COM" + std::to_string(port.ComNumber());
}

void TProtEPX3000::SetComPort(const std::string& value) {
  const std::string text = Trim(value);
  TApdComPort& port = *dm->ApdComPort1;
  if (text.empty() || (text.size() >= 3 && SameText(text.substr(0, 3), "COM")))
    port.SetComNumber(ComNumberFromText(text));
  else
    port.SetPortName(text);
}

bool TProtEPX3000::SendFrame(const std::string& Trama) {
  TApdComPort& port = *dm->ApdComPort1;
  if (!port.Open()) return false;
  try {
    port.PutString(Trama);
    return true;
  } catch (...) {
    // The timer step finds the port closed and opens it again.
    port.SetOpen(false);
    return false;
  }
}

void TProtEPX3000::SetEnabled(bool value) {
  if (value == FEnabled) return;
  fLastStepMs = 0;
  TApdComPort& port = *dm->ApdComPort1;
  if (!value) {
    // The device gets the settings and the reset before the port closes.
    ResetOperation();
    port.SetOpen(false);
    FEnabled = false;
    return;
  }
  auto down = [this] {
    // The timer step goes on trying the port.
    FEnabled = true;
    DispoStato = sdTimeout;
    fDownShown = true;
    Post(WM_DISP_TIMEOUT, 0, 0);
  };
  InitProtocol();
  try {
    port.SetOpen(true);
  } catch (...) {
    down();
    throw;
  }
  FEnabled = port.Open();
  if (!FEnabled) down();
}

void TProtEPX3000::InitProtocol() {
  StatoCom = scNoData;
  CountRx = 0;
  finetrama = false;
  fOverflow = false;
  fOrphan = false;
  fFrameQuiet = 0;
  fGarbledRead = false;
  fTessera.clear();
  fPendingOperation = kOpNone;
  PendingTrame.clear();
  DispoStato = sdStart;
  RestartWait();
  inited = false;
}

void TProtEPX3000::SetTrack(std::int32_t value) {
  if (value == fTrack) return;
  if (fPendingOperation != kOpNone) ResetOperation();
  fTrack = value;
}

void TProtEPX3000::SetCoercitivity(TCoercitivity value) {
  if (value == fCoercitivity) return;
  fCoercitivity = value;
  if (FEnabled) ResetOperation();
}

void TProtEPX3000::SetBpi(std::int32_t value) {
  if (value == fBPI) return;
  fBPI = value;
  if (fPendingOperation != kOpNone) ResetOperation();
}

void TProtEPX3000::SetStartmm(long double value) {
  if (value == fStartmm) return;
  fStartmm = value;
  if (fPendingOperation != kOpNone) ResetOperation();
}

void TProtEPX3000::Inizializza() {
  RestartWait();
  PendingTrame.clear();
  fPendingOperation = kOpNone;
  StatoCom = scNoData;
  const char esc = static_cast<char>(ESC);
  // The device takes each setting in turn. They go out one after the other
  // without a pause here: at 9600 baud a setting takes two milliseconds on
  // the line, so a pause of one after queueing it would leave no gap there,
  // only a frozen program.
  if (fBPI == 0)
    SendFrame(std::string{esc, 'L'});
  else if (fBPI == 1)
    SendFrame(std::string{esc, 'H'});
  SendFrame(std::string{esc, StartOffsetDigit(fStartmm)});
  SendFrame(std::string{esc, fCoercitivity == hico ? 'x' : 'y', '\0'});
  inited = true;
  StatoCom = scNoData;
}

void TProtEPX3000::ResetOperation() {
  Inizializza();
  SendFrame(std::string{static_cast<char>(ESC), '0'});
}

void TProtEPX3000::ReadTessera(std::uint8_t aTrack) {
  if (!FEnabled || !inited) return;
  if (fPendingOperation != kOpNone) ResetOperation();
  fPendingOperation = kOpRead;
  QueueFrame("r" + std::to_string(aTrack & 0x0F));
}

void TProtEPX3000::WriteTessera(const AnsiString& data, std::uint8_t aTrack) {
  if (!FEnabled || !inited) return;
  std::string payload;
  // Checked before anything goes out: a refused write leaves the read running.
  if (!WritePayload(data, aTrack, payload)) throw EBadgeError("Invalid tracks count");
  if (fPendingOperation != kOpNone) ResetOperation();
  fwritedata = data;
  fPendingOperation = kOpWrite;
  QueueFrame(payload);
}

void TProtEPX3000::CalcLastCommand(const std::string& payload) {
  if (payload.empty()) return;
  switch (payload[0]) {
    case '!':
    case 'r':
      LastCommand = kOpRead;
      break;
    case '%':
    case '+':
    case ';':
      LastCommand = kOpWrite;
      break;
    case 'i':
      LastCommand = kOpInit;
      break;
    default:
      break;
  }
}

void TProtEPX3000::SendPayload(const std::string& payload) {
  RestartWait();
  fGarbledRead = false;
  StatoCom = scAttesa;
  SendFrame(Frame(payload));
}

void TProtEPX3000::QueueFrame(const std::string& payload) {
  if (!PendingTrame.empty() || StatoCom == scAttesa) {
    PendingTrame.push_back(payload);
    return;
  }
  CalcLastCommand(payload);
  SendPayload(payload);
}

void TProtEPX3000::SendNext() {
  if (!inited) {
    Inizializza();
    fPendingOperation = kOpInit;
    QueueFrame("i0");
    return;
  }
  if (!PendingTrame.empty()) {
    const std::string payload = PendingTrame.front();
    PendingTrame.pop_front();
    if (payload.empty()) {
      fPendingOperation = kOpNone;
      return;
    }
    CalcLastCommand(payload);
    fPendingOperation = LastCommand;
    SendPayload(payload);
    return;
  }
  ReadTessera(static_cast<std::uint8_t>(fTrack));
}

void TProtEPX3000::ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) {
  auto store = [this](std::uint8_t b) {
    if (CountRx <= kMaxFrame)
      BufferRx[static_cast<size_t>(CountRx++)] = b;
    else
      fOverflow = true;
  };
  fFrameQuiet = 0;
  for (std::int32_t i = 0; i < Len; ++i) {
    const std::uint8_t b = Buffer[i];
    if (CountRx == 0) {
      if (b == STX) {
        CountRx = 1;
        finetrama = false;
        fOverflow = false;
        fOrphan = false;
      } else {
        WatchOrphan(b);
      }
    } else if (finetrama) {
      store(b);
      finetrama = false;
      // A frame that did not fit is dropped whole.
      if (!fOverflow) ProcessFrame();
      CountRx = 0;
    } else if (b == STX) {
      // Payloads are printable text and a few control bytes, never an STX:
      // one always begins a frame. What was under way was cut short.
      AbandonFrame();
      CountRx = 1;
      fOverflow = false;
    } else if (b == ETX) {
      finetrama = true;
      store(b);
    } else if (b == DEL) {
      if (fPendingOperation != kOpNone)
        Post(WM_DISP_ERROR, fPendingOperation, 6);
      else
        Post(WM_DISP_ERROR, LastCommand, 0);
      fPendingOperation = kOpNone;
      CountRx = 0;
      StatoCom = scNoData;
    } else {
      store(b);
    }
  }
  if (OnBusy && !StepIdle()) OnBusy();
}

void TProtEPX3000::ProcessFrame() {
  // BufferRx[1 .. CountRx-1]: payload, ETX, check byte.
  const auto* bytes = reinterpret_cast<const char*>(BufferRx.data());
  const std::string body(bytes + 1, static_cast<size_t>(CountRx - 2));
  if (CalcLrc(body) != BufferRx[static_cast<size_t>(CountRx - 1)]) {
    // The outstanding command waits its whole time again; a read is lost.
    RestartWait();
    ReadReplyLost();
    return;
  }
  Tentativi = 0;
  fDownShown = false;
  if (DispoStato != sdAttivo) {
    Post(WM_DISP_RESTORE, 0, 0);
    DispoStato = sdAttivo;
  }
  StatoCom = scNoData;
  const std::string payload = body.substr(0, body.size() - 1);
  const auto first = payload.empty() ? std::uint8_t{0} : static_cast<std::uint8_t>(payload[0]);
  if (first == ACK) {
    fPendingOperation = kOpNone;
    SendFrame(std::string{static_cast<char>(ESC), '0'});
    if (PendingTrame.empty()) ReadTessera(static_cast<std::uint8_t>(fTrack));
  } else if (first == NAK) {
    Post(WM_DISP_ERROR, LastCommand, 0);
    fPendingOperation = kOpNone;
  } else if (first == '%' || first == ';' || first == '+') {
    // The ETX is no track data: a block left open ends with the payload.
    fTessera = epx3000::ParseTracks(payload);
    if (fPendingOperation == kOpWrite) {
      if (fTessera == fwritedata)
        Post(WM_OPERATION_DONE, kOpWrite, 0);
      else
        Post(WM_DISP_ERROR, kOpWrite, 20);
    } else {
      PostTesseraRead(Ownerhandle, static_cast<platform::WPARAM>(fID), fTessera);
    }
    fPendingOperation = kOpNone;
  } else {
    // A reply of no known kind still ends the exchange: left pending, the
    // operation would wait for ever with nothing outstanding, and no read
    // would be asked for again.
    fPendingOperation = kOpNone;
  }
}

void TProtEPX3000::AbandonFrame() {
  // Only what began as a reply with tracks: a stray STX in line noise is no
  // swipe, and must not sound like one.
  const bool tracks =
      CountRx > 1 && !fOverflow && (BufferRx[1] == '%' || BufferRx[1] == ';' || BufferRx[1] == '+');
  if (tracks) ReadReplyLost();
  CountRx = 0;
  finetrama = false;
}

void TProtEPX3000::WatchOrphan(std::uint8_t b) {
  // Tracks outside a frame, ending with an end sentinel and ETX, are a reply
  // that lost its STX: the card's read is lost, and said so. Noise seldom
  // looks like that, and is never typed either way.
  if (b == '%' || b == ';' || b == '+') {
    fOrphan = true;
  } else if (fOrphan && b == ETX && fOrphanLast == '?') {
    fOrphan = false;
    ReadReplyLost();
  } else if (b < 0x20 || b >= 0x7F) {
    fOrphan = false;
  }
  fOrphanLast = b;
}

void TProtEPX3000::ReadReplyLost() {
  // A read was answered by a card the device will not report twice: the user
  // is told at once, and the read is asked for anew once the line is quiet.
  if (StatoCom != scAttesa || fPendingOperation != kOpRead || fGarbledRead) return;
  fGarbledRead = true;
  Post(WM_DISP_ERROR, kOpRead, 6);
}

void TProtEPX3000::PortLost() {
  // What was under way came from the device that is gone.
  CountRx = 0;
  finetrama = false;
  dm->ApdComPort1->SetOpen(false);
}

void TProtEPX3000::ReopenPort() {
  TApdComPort& port = *dm->ApdComPort1;
  if (port.ComNumber() == 0 && port.DevicePath().empty()) {
    port.SetOpen(false);
    const std::string found = FindUsbSerialPort();
    if (!found.empty()) {
      try {
        SetComPort(found);
      } catch (...) {
        // Not a port this holder can take; searched again next step.
      }
    }
  }
  if (port.ComNumber() == 0 && port.DevicePath().empty()) return;
  port.SetOpen(false);
  try {
    port.SetOpen(true);
  } catch (...) {
    // Still missing or busy: the next step tries again.
  }
  DispoStato = sdStart;
  RestartWait();
  if (port.Open()) {
    // A device back on the line may have been powered off: the exchange
    // starts over with its settings and the initialise command.
    CountRx = 0;
    finetrama = false;
    StatoCom = scNoData;
    fPendingOperation = kOpNone;
    PendingTrame.clear();
    inited = false;
  }
}

void TProtEPX3000::RestartWait() {
  Ticks.store(0);
  fLastStepMs = platform::Clock().GetTickCount64();
}

bool TProtEPX3000::StepIdle() const {
  // Well short of the long wait's end, so that it still ends on time.
  constexpr std::int32_t kRestMargin = 2 * (1000 / kStepMs + 1);
  return FEnabled && dm->ApdComPort1->Open() && DispoStato == sdAttivo && !fDownShown &&
         StatoCom == scAttesa && fPendingOperation == kOpRead && !fGarbledRead && CountRx == 0 &&
         Ticks.load() < kReadLivenessSteps - kRestMargin;
}

void TProtEPX3000::TimerProc() {
  TProtocol::TimerProc();
  if (!FEnabled) {
    fLastStepMs = 0;
    return;
  }
  // This step counts one period; a step that comes later than that (the timer
  // rested, or the program was busy) counts the periods it missed as well.
  const std::uint64_t now = platform::Clock().GetTickCount64();
  fLastStepMs = fLastStepMs == 0 ? now : fLastStepMs + kStepMs;
  if (now >= fLastStepMs + kStepMs) {
    const std::uint64_t missed = (now - fLastStepMs) / kStepMs;
    Ticks.fetch_add(static_cast<std::int32_t>(std::min<std::uint64_t>(missed, kLongSteps)));
    fLastStepMs += missed * kStepMs;
  }
  fLastStepMs = std::min(fLastStepMs, now);
  // Bytes still waiting in the port (the program was busy) are no quiet line.
  if (CountRx > 0 && ++fFrameQuiet > kFrameQuietSteps && dm->ApdComPort1->InBuffUsed() == 0)
    AbandonFrame();
  TApdComPort& port = *dm->ApdComPort1;
  if (DispoStato == sdTimeout) ReopenPort();
  if (!port.Open()) {
    DispoStato = sdTimeout;
    // A port that is gone is a reader that is gone: shown once, until the
    // device answers again.
    if (!fDownShown) {
      fDownShown = true;
      Post(WM_DISP_TIMEOUT, 0, 0);
    }
    return;
  }
  if (StatoCom == scAttesa) {
    std::int64_t limit = kLongSteps;
    if (fGarbledRead && fPendingOperation == kOpRead)
      limit = kQuietSteps;
    else if (fPendingOperation == kOpRead)
      limit = kReadLivenessSteps;
    else if (fPendingOperation == kOpInit)
      limit = kInitSteps;
    else if (fPendingOperation == kOpWrite && fTimeoutWrite > 0)
      limit = static_cast<std::int64_t>(fTimeoutWrite) * 1000 / kStepMs;
    if (Ticks.load() > limit) {
      CountRx = 0;
      finetrama = false;
      StatoCom = scNoData;
      RestartWait();
      if (fPendingOperation == kOpRead && !fGarbledRead) {
        // A read long outstanding tells nothing of the device: it may have
        // been switched off, or off and on, losing the read. The initialise
        // command is answered: the device is asked whether it is there, and
        // the read starts anew after its answer.
        ResetOperation();
        fPendingOperation = kOpInit;
        QueueFrame("i0");
      } else if (fPendingOperation != kOpInit || DispoStato == sdTimeout) {
        SendNext();
      } else {
        InitProtocol();
        ++Tentativi;
        if (Tentativi <= 2) {
          SendNext();
        } else {
          Tentativi = 0;
          DispoStato = sdTimeout;
          // Once per outage: a device that stays silent goes through this
          // cycle every few seconds.
          if (!fDownShown) {
            fDownShown = true;
            Post(WM_DISP_TIMEOUT, 0, 0);
          }
        }
      }
    }
  }
  if (StatoCom == scNoData && fPendingOperation == kOpNone && Ticks.load() > kQuietSteps)
    SendNext();
}

}  // namespace lumbra
