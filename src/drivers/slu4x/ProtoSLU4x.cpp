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
constexpr std::uintptr_t kSkipTimerId = 3;

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

namespace {

// Walks the tracks of a frame: '%' opens track 1, '+' track 3, ';' track 3
// after a track 2 and track 2 otherwise; '?' closes the open track. Returns
// the last track opened (0 for none); open tells whether one is still open.
template <class Fn>
int WalkTracks(const std::string& frame, bool& open, Fn&& onChar) {
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
      onChar(current, c);
    }
  }
  open = current != 0;
  return last;
}

}  // namespace

TrackParse ParseTracks(const std::string& frame, std::int32_t trackCode, AnsiString& out) {
  std::string tracks[3];
  bool open = false;
  WalkTracks(frame, open, [&](int track, char c) { tracks[track - 1].push_back(c); });
  // A track without its end sentinel was cut: what it holds, and whether
  // other tracks followed, is unknown.
  if (open) return TrackParse::Incomplete;
  const std::string sep(1, TrackSeparator);
  switch (trackCode) {
    case 1:
      out = tracks[0];
      break;
    case 2:
      out = tracks[1];
      break;
    case 3:
      out = tracks[2];
      break;
    case 4:
      out = tracks[0] + sep + tracks[1];
      break;
    case 5:
      out = tracks[1] + sep + tracks[2];
      break;
    case 6:
      out = tracks[0] + sep + tracks[2];
      break;
    case 7:
      out = tracks[0] + sep + tracks[1] + sep + tracks[2];
      break;
    default:
      return TrackParse::NoSuchCode;
  }
  return TrackParse::Read;
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
  if (!value) {
    Flush();
    DropFrame();
  }
  TProtocol::SetEnabled(value);
}

std::string TProtSLU4x::FrameText() const {
  return std::string(reinterpret_cast<const char*>(BufferRx.data()) + 1,
                     static_cast<size_t>(CountRx - 1));
}

bool TProtSLU4x::HoldsTrack() const {
  // A track that was opened and closed: a swipe, not line noise.
  bool open = false;
  for (std::int32_t i = 1; i < CountRx; ++i) {
    const std::uint8_t c = BufferRx[static_cast<size_t>(i)];
    if (!open)
      open = IsSentinel(c);
    else if (c == '?')
      return true;
  }
  return false;
}

bool TProtSLU4x::StartsFrame(std::uint8_t b) const {
  // After a terminator: STX always starts a frame; after a line end (a
  // carriage return and line feed), a sentinel does too. After a bare
  // carriage return (readers that end each track with one) a sentinel goes
  // on with the frame while its track follows the frame's last one; track 1
  // never does. After a bare ETX a sentinel is the rest of the same swipe.
  if (b == STX) return true;
  if (!IsSentinel(b)) return false;
  if (fTrailer) return true;
  if (fEnd != CR) return false;
  if (b == '%') return true;
  bool open = false;
  return CountRx > 0 && WalkTracks(FrameText(), open, [](int, char) {}) >= 3;
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

void TProtSLU4x::StopSkipping() {
  if (fSkipping) platform::MessageLoop().KillTimer(fBurstWindow, kSkipTimerId);
  fSkipping = false;
}

void TProtSLU4x::DropFrame() {
  StopBurstTimer();
  StopSkipping();
  CountRx = 0;
  fEnd = 0;
  fTrailer = false;
  WatchQuietLine();
}

void TProtSLU4x::OnTimer(std::uintptr_t id) {
  if (id == kBurstTimerId && fEndPending) {
    EndFrame();
  } else if (id == kQuietTimerId && fQuietArmed) {
    // Not ended after a quiet line: line noise, or a swipe that lost its end.
    AbandonFrame();
    DropFrame();
  } else if (id == kSkipTimerId && fSkipping) {
    StopSkipping();
  }
}

void TProtSLU4x::EndFrame() {
  StopBurstTimer();
  if (CountRx > 0) ProcessFrame();
  CountRx = 0;
  fEnd = 0;
  fTrailer = false;
  WatchQuietLine();
}

void TProtSLU4x::Flush() {
  if (fEnd != 0 && !fSkipping) EndFrame();
}

void TProtSLU4x::AbandonFrame() {
  if (CountRx > 0 && HoldsTrack()) FailRead();
  CountRx = 0;
}

void TProtSLU4x::FailRead() {
  if (DispoStato != sdAttivo) {
    DispoStato = sdAttivo;
    Post(WM_DISP_RESTORE, 0);
  }
  Post(WM_TESSERA_READ, trReadFailed);
}

void TProtSLU4x::Skip() {
  // The rest of a damaged swipe comes in the same burst; its tracks must not
  // make a badge of their own.
  fSkipping = true;
  platform::MessageLoop().SetTimer(fBurstWindow, kSkipTimerId, kBurstGapMs);
}

void TProtSLU4x::ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) {
  for (std::int32_t i = 0; i < Len; ++i) {
    const std::uint8_t b = Buffer[i];
    if (fEnd != 0) {
      // A terminator ends the frame when the line stays quiet after it, or
      // when a new frame starts; what else follows decides what it was.
      if (b == LF || (b == CR && fEnd == ETX)) {
        fTrailer = true;
        continue;
      }
      if (StartsFrame(b)) {
        if (fSkipping)
          StopSkipping();
        else
          EndFrame();
      } else if (fSkipping) {
        fEnd = 0;
        fTrailer = false;
      } else if (fEnd == ETX && IsSentinel(b) && CountRx > 1) {
        // More of the swipe after its ETX: the ETX was line noise inside it.
        FailRead();
        CountRx = 0;
        StopBurstTimer();
        fEnd = 0;
        fTrailer = false;
        Skip();
        continue;
      } else if (fEnd == ETX && IsSentinel(b)) {
        EndFrame();  // an empty frame, then a frame of its own
      } else if (fEnd == ETX) {
        continue;  // other bytes after a frame belong to none
      } else {
        // The carriage return was inside the frame.
        StopBurstTimer();
        if (fTrailer && CountRx <= kMaxFrameBytes) BufferRx[static_cast<size_t>(CountRx++)] = LF;
        fEnd = 0;
        fTrailer = false;
      }
    }
    if (fSkipping) {
      if (b == STX) {
        StopSkipping();
      } else {
        if (b == CR || b == ETX) fEnd = b;
        continue;
      }
    }
    if (CountRx == 0) {
      if (b == STX || IsSentinel(b)) {
        BufferRx[0] = STX;
        CountRx = 1;
        if (b != STX) BufferRx[static_cast<size_t>(CountRx++)] = b;
      }
      continue;
    }
    if (b == ETX || b == CR) {
      fEnd = b;
    } else if (b == STX) {
      // A frame always starts at an STX; the one under way lost its end.
      AbandonFrame();
      BufferRx[0] = STX;
      CountRx = 1;
    } else if (CountRx <= kMaxFrameBytes) {
      BufferRx[static_cast<size_t>(CountRx++)] = b;
    }
  }
  // A frame that may have ended waits for the end of its burst; a new block
  // restarts the wait.
  if (fEnd != 0 && !fSkipping) ArmBurstTimer();
  if (fSkipping) Skip();
  WatchQuietLine();
}

void TProtSLU4x::ProcessFrame() {
  const std::string text = FrameText();
  if (DispoStato != sdAttivo) {
    DispoStato = sdAttivo;
    Post(WM_DISP_RESTORE, 0);
  }
  StatoCom = scNoData;
  if (text.empty()) return;
  // Data that cannot be tracks (a frame that lost its start sentinel, or a
  // track cut by a stray end byte) is a read the user must do again.
  AnsiString badge;
  const TrackParse parsed = IsSentinel(static_cast<std::uint8_t>(text[0]))
                                ? ParseTracks(text, fTrack, badge)
                                : TrackParse::Incomplete;
  if (parsed == TrackParse::Incomplete) {
    Post(WM_TESSERA_READ, trReadFailed);
    return;
  }
  if (parsed == TrackParse::Read) fTessera = badge;
  PostTesseraRead(Ownerhandle, static_cast<WPARAM>(fID), fTessera);
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
