#include "drivers/sw30/protoTWBadge2.h"

#include <utility>

#include "comm/ReadTexts.h"
#include "platform/Clock.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {
namespace {

constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;
constexpr std::uint8_t ENQ = 0x05;
constexpr std::uint8_t ACK = 0x06;
constexpr std::uint8_t DLE = 0x10;
constexpr std::uint8_t NAK = 0x15;
constexpr char kDleEot[] = "\x10\x04";

constexpr char kLightReadWaiting = '8';
constexpr char kLightWriteWaiting = '4';

TComm32* NewComm(platform::HWND hwnd) {
  auto* comm = new TComm32(hwnd);
  comm->SetBaudRate(cbr9600);
  comm->SetParity(paNone);
  comm->SetDatabits(da8);
  comm->SetStopbits(sb1_0);
  return comm;
}

bool IsDigit(std::uint8_t c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::uint8_t ComputeBCC(const std::string& text) {
  std::uint8_t bcc = 0;
  for (unsigned char c : text) bcc ^= c;
  return bcc;
}

std::string FrameCommand(const std::string& text) {
  std::string frame(1, static_cast<char>(STX));
  frame += text;
  frame.push_back(static_cast<char>(ETX));
  frame.push_back(static_cast<char>(ComputeBCC(text + static_cast<char>(ETX))));
  return frame;
}

TProtTWbadge2::TProtTWbadge2(std::int32_t aID, platform::HWND aHandle)
    : TProtocol(aID, aHandle, NewComm(aHandle)), fComm(static_cast<TComm32*>(Vettore)) {
  fDescri = "Comunicazione CODIFICATORE TAVIK";
  Fautosave = false;
  FOwnVettore = true;
}

TProtTWbadge2::~TProtTWbadge2() {
  try {
    SetEnabled(false);
  } catch (...) {
  }
}

void TProtTWbadge2::Post(std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
  platform::MessageLoop().PostMessage(Ownerhandle, msg, wParam, lParam);
}

void TProtTWbadge2::WriteRaw(const std::string& bytes) {
  // A port that is gone refuses the bytes; the timer step sees it and shows it.
  SendFrame(bytes);
}

void TProtTWbadge2::InitProtocol() {
  fStatotessera = 0;
  StatoCom = scNoData;
  CountRx = 0;
  finetrama = false;
  fTessera.clear();
  PendingOperation = 0;
  LastCommand.clear();
  PendingTrame.clear();
  DispoStato = sdStart;
  Ticks.store(0);
  Retry.store(0);
  inited = false;
  fRequestOperation = kModeRead;
  ReadSettled();
}

void TProtTWbadge2::SetEnabled(bool value) {
  if (value == FEnabled) return;
  if (!value) {
    PendingTrame.clear();
    PendingOperation = 0;
    StatoCom = scNoData;
    SetLed(false, false, false, false);
  }
  struct Reopen {
    TProtTWbadge2& p;
    bool value;
    // A port that cannot be opened yet is a reader problem, not the end: the
    // timer step keeps trying it, also when opening raised.
    ~Reopen() {
      if (value && !p.FEnabled) {
        p.FEnabled = true;
        p.DispoStato = sdTimeout;
        p.Post(WM_DISP_TIMEOUT, 0, 0);
      }
    }
  } reopen{*this, value};
  TProtocol::SetEnabled(value);
  if (value && FEnabled) QueueCommand(kDleEot);
}

void TProtTWbadge2::QueueCommand(const std::string& text) {
  if (!PendingTrame.empty() || PendingOperation != 0 || StatoCom == scAttesa) {
    PendingTrame.push_back(text);
    return;
  }
  SendText(text);
}

void TProtTWbadge2::SendText(const std::string& text) {
  PendingOperation = 1;
  LastCommand = FrameCommand(text);
  StatoCom = scAttesa;
  Ticks.store(0);
  Retry.store(0);
  SendFrame(LastCommand);
}

void TProtTWbadge2::SendNextCommand() {
  PendingOperation = 1;
  if (!inited) {
    Inizializza();
    return;
  }
  std::string text = "C10";
  if (!fCutRead.empty()) {
    text = std::exchange(fCutRead, {});
  } else if (!PendingTrame.empty()) {
    text = std::move(PendingTrame.front());
    PendingTrame.pop_front();
  }
  SendText(text);
}

void TProtTWbadge2::Inizializza() {
  PendingOperation = 0;
  PendingTrame.clear();
  StatoCom = scNoData;
  QueueCommand("C0032402000000");
  QueueCommand("C:0");
  QueueCommand("C:0");
  RequestLight(kLightReadWaiting);
}

void TProtTWbadge2::ReadTessera(std::int32_t Track) {
  if (fStatotessera == csNoBadge) {
    // Read when a card is offered.
    fRequestOperation = kModeRead;
    RequestLight(kLightReadWaiting);
    return;
  }
  QueueCommand(std::string("C6") + static_cast<char>(0x30 + (Track & 15)));
}

void TProtTWbadge2::WriteTessera(const AnsiString& CodTessera, std::int32_t Track) {
  if (fStatotessera == csNoBadge) {
    // Held until a card is offered. Its own track is kept: the reading track
    // may be another one.
    fRequestOperation = kModeWrite;
    fTesToWrite = CodTessera;
    fTrackToWrite = Track;
    RequestLight(kLightWriteWaiting);
    fTickWrite = platform::Clock().GetTickCount();
    return;
  }
  QueueCommand(std::string("C7") + static_cast<char>(0x30 + (Track & 7)) + CodTessera);
}

void TProtTWbadge2::SetLed(bool statoLed1, bool statoLed2, bool statoLed3, bool statoled4) {
  const int bits =
      (statoLed1 ? 1 : 0) | (statoLed2 ? 2 : 0) | (statoLed3 ? 4 : 0) | (statoled4 ? 8 : 0);
  RequestLight(static_cast<char>(0x30 + bits));
}

void TProtTWbadge2::SetBuzzer(std::uint8_t numBeeps) {
  QueueCommand(std::string("C5") + static_cast<char>(0x40 + (numBeeps & 7)));
}

void TProtTWbadge2::SetReadWriteRetry(std::uint8_t num) {
  QueueCommand(std::string("C>") + static_cast<char>(0x30 + (num & 7)));
}

void TProtTWbadge2::SetTrack(std::int32_t value) {
  if (value == fTrack) return;
  fRequestOperation = kModeRead;
  RequestLight(kLightReadWaiting);
  fTrack = value;
}

bool TProtTWbadge2::ReadUnderWay() const {
  // The frame is STX, "C", the command code, ...
  return PendingOperation != 0 && LastCommand.size() >= 3 && LastCommand[2] == kModeRead;
}

void TProtTWbadge2::CutRead() {
  // The card is inside by now, so no status change will start its read
  // again: the next idle step asks for it once more, and a read cut short
  // again is a failed read the user sees, not a card that silently stays.
  if (++fReadCuts <= kReadRepeats) {
    fCutRead = LastCommand.substr(1, LastCommand.size() - 3);
    return;
  }
  ReadSettled();
  Post(WM_TESSERA_READ, static_cast<WPARAM>(fID), trReadFailed);
}

void TProtTWbadge2::ReadSettled() {
  fCutRead.clear();
  fReadCuts = 0;
}

void TProtTWbadge2::CloseExchange() {
  PendingOperation = 0;
  LastCommand.clear();
  StatoCom = scNoData;
}

void TProtTWbadge2::ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) {
  for (std::int32_t i = 0; i < Len; ++i) {
    const std::uint8_t b = Buffer[i];
    if (finetrama) {
      // The check character may take any value, a control byte's too: taken
      // as that control byte, an answer whose check happens to be one would
      // never be read, however often the device repeated it.
      HandleAnswer(b);
      finetrama = false;
      CountRx = 0;
      continue;
    }
    switch (b) {
      case STX:
        CountRx = 1;
        break;
      case ETX:
        if (CountRx >= 1 && CountRx <= kMaxAnswerBytes) {
          BufferRx[static_cast<size_t>(CountRx++)] = b;
          finetrama = true;
        }
        break;
      case ACK:
        inited = true;
        if (PendingOperation != 0) {
          WriteRaw(std::string(1, static_cast<char>(ENQ)));
          PendingOperation = 2;
        } else {
          WriteRaw(kDleEot);
        }
        Ticks.store(0);
        CountRx = 0;
        break;
      case DLE:
        if (ReadUnderWay()) CutRead();
        PendingOperation = 0;
        StatoCom = scNoData;
        Ticks.store(0);
        CountRx = 0;
        break;
      case NAK: {
        const bool wasInited = inited;
        inited = !inited;
        // Only a command still outstanding is sent again: the last frame of an
        // exchange that already ended (a write among them) must not go out
        // again on a stray byte.
        if (!wasInited && PendingOperation != 0) {
          if (Retry.fetch_add(1) < 2) {
            WriteRaw(LastCommand);
          } else {
            Retry.store(0);
            Post(WM_DISP_ERROR,
                 LastCommand.size() >= 2 ? static_cast<std::uint8_t>(LastCommand[1]) : 0, 0);
            PendingOperation = 0;
            StatoCom = scNoData;
          }
        }
        Ticks.store(0);
        CountRx = 0;
        break;
      }
      default:
        if (CountRx >= 1 && CountRx <= kMaxAnswerBytes)
          BufferRx[static_cast<size_t>(CountRx++)] = b;
        break;
    }
  }
}

void TProtTWbadge2::HandleAnswer(std::uint8_t bcc) {
  // Text from position 1, ending with the ETX.
  const std::string text(reinterpret_cast<const char*>(BufferRx.data()) + 1,
                         static_cast<size_t>(CountRx - 1));
  if (ComputeBCC(text) != bcc) {
    WriteRaw(std::string(1, static_cast<char>(NAK)));
    Ticks.store(0);
    return;
  }
  // Kind, command code, one free character and two digits (the card status
  // or the error code). An answer without them, or a status the device does
  // not have, is not understood: it is taken as no answer, so the command is
  // sent again when its wait runs out, and nothing is read into it.
  if (text.size() < 6) return;
  const auto kind = static_cast<std::uint8_t>(text[0]);
  const auto code = static_cast<std::uint8_t>(text[1]);
  const auto d1 = static_cast<std::uint8_t>(text[3]), d2 = static_cast<std::uint8_t>(text[4]);
  if (!IsDigit(d1) || !IsDigit(d2)) return;
  const int number = (d1 - '0') * 10 + (d2 - '0');
  // Data only for the read asked for: an answer repeated (a stray ACK on
  // the line makes the host ask twice) would type the badge twice.
  if (kind == 'P' && code == '6' && (LastCommand.size() < 3 || LastCommand[2] != '6')) return;
  std::uint8_t status = 0;
  if (kind == 'P') {
    static constexpr std::uint8_t kStatus[] = {csNoBadge, csHalfInserted, csInserted};
    if (number > 2) return;
    status = kStatus[number];
  }

  if (DispoStato != sdAttivo) {
    Post(WM_DISP_RESTORE, 0, 0);
    DispoStato = sdAttivo;
  }
  if (kind == 'N') {
    if (!inited) {
      inited = true;
      CloseExchange();
      return;
    }
    if (code == kModeRead) ReadSettled();
    if (number == 30) inited = false;  // powered down: initialise again
    Post(WM_DISP_ERROR, code, number);
    CloseExchange();
    if (code != '3') {
      // A failed command leaves no card half-done in the device.
      QueueCommand("C30");
      fRequestOperation = kModeRead;
      RequestLight(kLightReadWaiting);
    }
    return;
  }
  if (kind == 'P') {
    if (status != fStatotessera) {
      Post(WM_TESSERA_STATUS, static_cast<WPARAM>(fID), status);
      if (inited && fStatotessera == csNoBadge && status == csHalfInserted) {
        // A card offered at the entrance.
        CloseExchange();
        fStatotessera = status;
        if (fRequestOperation == kModeRead)
          ReadTessera(fTrack);
        else if (fRequestOperation == kModeWrite)
          WriteTessera(fTesToWrite, fTrackToWrite);
        return;
      }
    }
    fStatotessera = status;
    const std::string data = text.substr(5, text.size() - 6);
    switch (code) {
      case '0':
      case '2':
      case '4':
      case '5':
      case ':':
      case '>':
        Post(WM_OPERATION_DONE, code, 0);
        break;
      case '3':
        Post(WM_OPERATION_DONE, code, 0);
        CloseExchange();
        fRequestOperation = kModeRead;
        RequestLight(kLightReadWaiting);
        return;
      case '6':
        ReadSettled();
        fTessera = data;
        PostTesseraRead(Ownerhandle, static_cast<WPARAM>(fID), fTessera);
        CloseExchange();
        fRequestOperation = kModeRead;
        return;
      case '7':
        Post(WM_OPERATION_DONE, code, 0);
        CloseExchange();
        fRequestOperation = kModeRead;
        return;
      case '<':
        fVersion = data;
        Post(WM_OPERATION_DONE, code, 0);
        break;
      default:
        break;
    }
  }
  CloseExchange();
}

void TProtTWbadge2::TimerProc() {
  TProtocol::TimerProc();
  if (!FEnabled) return;
  const TVectorStep step = KeepVectorOpen();
  if (step == TVectorStep::Down) {
    // A port that is gone is a reader that is gone: shown once, as a silent
    // reader is, until an answer restores it.
    CountRx = 0;
    finetrama = false;
    if (DispoStato != sdTimeout) {
      DispoStato = sdTimeout;
      Post(WM_DISP_TIMEOUT, 0, 0);
    }
    return;
  }
  if (step == TVectorStep::Reopened) {
    // A new line: start over as on switching on, but a problem already shown
    // stays shown until the device answers.
    const TStatiDispo before = DispoStato;
    InitProtocol();
    if (before == sdTimeout) DispoStato = sdTimeout;
    QueueCommand(kDleEot);
    return;
  }
  if (StatoCom == scNoData) {
    if (PendingOperation != 0) return;
    if (fRequestOperation == kModeWrite && fStatotessera == csNoBadge && fTimeoutWrite > 0) {
      // Tick counts wrap after 49.7 days; their difference does not.
      const std::uint32_t waited = platform::Clock().GetTickCount() - fTickWrite;
      if (waited > static_cast<std::uint64_t>(fTimeoutWrite) * 1000u) {
        fRequestOperation = kModeRead;
        RequestLight(kLightReadWaiting);
      }
    }
    if (PendingOperation == 0 && Ticks.load() > kIdleSteps) SendNextCommand();
    return;
  }
  const std::int32_t limit = PendingOperation == 1 ? kAckWaitSteps : kAnswerWaitSteps;
  if (Ticks.load() <= limit) return;
  inited = false;
  CountRx = 0;
  finetrama = false;
  if (Retry.fetch_add(1) <= 2) {
    WriteRaw(LastCommand);
  } else {
    Retry.store(0);
    PendingOperation = 0;
    StatoCom = scNoData;
    if (DispoStato != sdTimeout) {
      InitProtocol();
      DispoStato = sdTimeout;
      Post(WM_DISP_TIMEOUT, 0, 0);
    }
  }
  Ticks.store(0);
}

}  // namespace lumbra
