#include "drivers/slu4x/ProtoSLU4x.h"

#include "comm/ReadTexts.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {
namespace {

constexpr std::uint8_t STX = 0x02;
constexpr std::uint8_t ETX = 0x03;
constexpr std::uint8_t CR = 0x0D;
constexpr std::uint8_t LF = 0x0A;
constexpr std::uintptr_t kBurstTimerId = 1;
constexpr std::uintptr_t kQuietTimerId = 2;

bool IsSentinel(std::uint8_t b) {
  return b == '%' || b == ';' || b == '+';
}

TComm32* NewComm(platform::HWND hwnd) {
  auto* comm = new TComm32(hwnd);
  comm->SetBaudRate(cbr9600);
  comm->SetParity(paNone);
  comm->SetDatabits(da8);
  comm->SetStopbits(sb1_0);
  return comm;
}

}  // namespace

bool ParseTracks(const std::string& frame, std::int32_t trackCode, AnsiString& out) {
  std::string tracks[3];
  int current = 0;  // 1 to 3 while a track is open
  int last = 0;
  for (char c : frame) {
    if (current == 0) {
      if (c == '%')
        current = 1;
      else if (c == '+')
        current = 3;
      else if (c == ';')
        current = last == 2 ? 3 : 2;
      else
        continue;
      last = current;
    } else if (c == '?') {
      current = 0;
    } else {
      tracks[current - 1].push_back(c);
    }
  }
  const std::string sep(1, TrackSeparator);
  switch (trackCode) {
    case 1:
      out = tracks[0];
      return true;
    case 2:
      out = tracks[1];
      return true;
    case 3:
      out = tracks[2];
      return true;
    case 4:
      out = tracks[0] + sep + tracks[1];
      return true;
    case 5:
      out = tracks[1] + sep + tracks[2];
      return true;
    case 6:
      out = tracks[0] + sep + tracks[2];
      return true;
    case 7:
      out = tracks[0] + sep + tracks[1] + sep + tracks[2];
      return true;
    default:
      return false;
  }
}

TProtSLU4x::TProtSLU4x(std::int32_t aID, platform::HWND aHwnd)
    : TProtocol(aID, aHwnd, NewComm(aHwnd)), fComm(static_cast<TComm32*>(Vettore)) {
  fDescri = "Comunicazione SLU-4x";
  Fautosave = false;
  FOwnVettore = true;
  fBurstWindow = platform::MessageLoop().CreateMessageWindow([this](platform::TMessage& m) {
    if (m.Msg == platform::WM_TIMER) OnTimer(m.WParam);
  });
}

TProtSLU4x::~TProtSLU4x() {
  try {
    SetEnabled(false);
  } catch (...) {
  }
  if (fBurstWindow != 0) platform::MessageLoop().DestroyMessageWindow(fBurstWindow);
}

void TProtSLU4x::Post(std::uint32_t msg, LPARAM value) {
  platform::MessageLoop().PostMessage(Ownerhandle, msg, static_cast<WPARAM>(fID), value);
}

void TProtSLU4x::InitProtocol() {
  StatoCom = scNoData;
  CountRx = 0;
  fTessera.clear();
  DispoStato = sdStart;
  Ticks.store(0);
  DropFrame();
}

void TProtSLU4x::SetEnabled(bool value) {
  if (value == FEnabled) return;
  struct Reopen {
    TProtSLU4x& p;
    bool value;
    // Also when enabling raised: the timer step goes on trying the port.
    ~Reopen() {
      if (value && !p.FEnabled) {
        p.FEnabled = true;
        p.DispoStato = sdTimeout;
        p.Post(WM_DISP_TIMEOUT, 0);
      }
    }
  } reopen{*this, value};
  if (!value) DropFrame();
  TProtocol::SetEnabled(value);
}

void TProtSLU4x::ArmBurstTimer() {
  fEndPending = true;
  platform::MessageLoop().SetTimer(fBurstWindow, kBurstTimerId, kBurstGapMs);
}

void TProtSLU4x::StopBurstTimer() {
  if (fEndPending) platform::MessageLoop().KillTimer(fBurstWindow, kBurstTimerId);
  fEndPending = false;
}

void TProtSLU4x::WatchQuietLine() {
  const bool watch = CountRx > 0 && !fEndPending;
  if (watch) {
    // Every block restarts the quiet time.
    platform::MessageLoop().SetTimer(fBurstWindow, kQuietTimerId, kFrameQuietMs);
  } else if (fQuietArmed) {
    platform::MessageLoop().KillTimer(fBurstWindow, kQuietTimerId);
  }
  fQuietArmed = watch;
}

void TProtSLU4x::DropFrame() {
  StopBurstTimer();
  CountRx = 0;
  WatchQuietLine();
}

void TProtSLU4x::OnTimer(std::uintptr_t id) {
  if (id == kBurstTimerId && fEndPending) {
    EndFrame();
  } else if (id == kQuietTimerId && fQuietArmed) {
    // Not ended after a quiet line: not a swipe.
    DropFrame();
  }
}

void TProtSLU4x::EndFrame() {
  StopBurstTimer();
  if (CountRx > 0) ProcessFrame();
  CountRx = 0;
  WatchQuietLine();
}

void TProtSLU4x::ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) {
  for (std::int32_t i = 0; i < Len; ++i) {
    const std::uint8_t b = Buffer[i];
    if (fEndPending) {
      // The line feed of a carriage return and line feed pair keeps waiting;
      // any other byte shows that the carriage return was inside the burst,
      // and belongs to the frame.
      if (b == LF) continue;
      StopBurstTimer();
    }
    if (CountRx == 0) {
      if (b == STX || IsSentinel(b)) {
        BufferRx[0] = STX;
        CountRx = 1;
        if (b != STX) BufferRx[static_cast<size_t>(CountRx++)] = b;
      }
      continue;
    }
    if (b == ETX) {
      EndFrame();
    } else if (b == CR) {
      // Only a carriage return that closes the block (the last byte, or the
      // next-to-last with one more after it) can end the frame, and only once
      // the burst is over; anywhere else it is dropped.
      if (i >= Len - 2) ArmBurstTimer();
    } else if (CountRx <= kMaxFrameBytes) {
      BufferRx[static_cast<size_t>(CountRx++)] = b;
    }
  }
  // Still waiting: a new block restarts the quiet time.
  if (fEndPending) ArmBurstTimer();
  WatchQuietLine();
}

void TProtSLU4x::ProcessFrame() {
  const std::string text(reinterpret_cast<const char*>(BufferRx.data()) + 1,
                         static_cast<size_t>(CountRx - 1));
  if (DispoStato != sdAttivo) {
    DispoStato = sdAttivo;
    Post(WM_DISP_RESTORE, 0);
  }
  StatoCom = scNoData;
  if (!text.empty() && IsSentinel(static_cast<std::uint8_t>(text[0]))) {
    AnsiString badge;
    if (ParseTracks(text, fTrack, badge)) fTessera = badge;
    PostTesseraRead(Ownerhandle, static_cast<WPARAM>(fID), fTessera);
  }
}

bool TProtSLU4x::StepIdle() const {
  return FEnabled && Vettore != nullptr && Vettore->Stato() == vsActive && !Vettore->Lost() &&
         DispoStato == sdAttivo;
}

void TProtSLU4x::TimerProc() {
  TProtocol::TimerProc();
  if (!FEnabled) return;
  if (Vettore == nullptr) {
    DispoStato = sdTimeout;
    return;
  }
  const TVectorStep step = KeepVectorOpen(true);
  // Bytes from before the port went down belong to no frame of the new line.
  if (step != TVectorStep::Open && CountRx > 0) DropFrame();
  if (step == TVectorStep::Down) {
    // A port that is gone is a reader that is gone: shown once, like a
    // silent reader, until the port is back.
    if (DispoStato != sdTimeout) {
      DispoStato = sdTimeout;
      Post(WM_DISP_TIMEOUT, 0);
    }
  } else if (DispoStato != sdAttivo) {
    DispoStato = sdAttivo;
    Post(WM_DISP_RESTORE, 0);
  }
}

}  // namespace lumbra
