#pragma once
// The protocol of the SLU-4x readers, which talk without being asked: a swipe
// sends one frame with the tracks read, started by STX or directly by a track
// sentinel and ended by ETX or by a carriage return, once the burst is over or
// the next frame starts. The host never sends anything, so a frame the line
// damaged cannot be asked for again: it is a failed read, never part of a badge.
#include <array>
#include <cstdint>
#include <string>

#include "base/Text.h"
#include "comm/comWin32.h"
#include "comm/protocol.h"

namespace lumbra {

enum class TrackParse { Read, Incomplete, NoSuchCode };

// The badge text of a frame's tracks by track code (1 to 7, tracks joined by
// the track separator). A track left without its end sentinel makes the whole
// frame incomplete; out is then untouched, as for a code outside 1 to 7.
TrackParse ParseTracks(const std::string& frame, std::int32_t trackCode, AnsiString& out);

class TProtSLU4x : public TProtocol {
 public:
  static constexpr std::int32_t kMaxFrameBytes = 512;
  // Quiet time after a terminator (ETX or carriage return) that ends a block
  // before the frame is taken as ended: what follows in the same burst tells
  // a terminator from line noise inside the frame. A reader's burst has no
  // gaps this long (at 9600 baud it is 24 character times, and longer than a
  // USB adapter's latency timer), so a burst cut into blocks by the
  // transport is still read as one frame.
  static constexpr std::uint32_t kBurstGapMs = 25;
  // Quiet time after which a frame that has not ended is dropped. A lone
  // sentinel (line noise, a port opened in the middle of a burst) would
  // otherwise swallow the next swipe into its frame. The readers send a swipe
  // in one go, so the only gaps inside a burst are the transport's: a USB
  // serial adapter holds a short packet for its latency timer (16 ms by
  // default), and at 9600 baud 100 ms are also 96 character times. Nobody
  // swipes a badge within 100 ms of the noise before it.
  static constexpr std::uint32_t kFrameQuietMs = 100;

  TProtSLU4x(std::int32_t aID, platform::HWND aHwnd);
  ~TProtSLU4x() override;

  void ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) override;
  void SetEnabled(bool value) override;
  void TimerProc() override;
  // Enabled, port open and healthy, reader shown working: a timer step would
  // change nothing.
  bool StepIdle() const;
  void InitProtocol() override;
  void Inizializza() { StatoCom = scNoData; }

  const AnsiString& LastTessera() const { return fTessera; }
  std::int32_t Track() const { return fTrack; }
  void SetTrack(std::int32_t value) { fTrack = value; }
  TStatiDispo StatoLettore() const { return DispoStato; }
  TComm32& Comm() const { return *fComm; }
  // A terminator waits for the end of its burst.
  bool EndPending() const { return fEndPending; }
  // Handles a frame whose terminator is waiting for the end of its burst
  // now: the line is about to close, and what came is all there is.
  void Flush();
  // A frame is under way.
  bool InFrame() const { return CountRx > 0; }

 private:
  void ProcessFrame();
  void EndFrame();
  void AbandonFrame();
  void FailRead();
  void Skip();
  void StopSkipping();
  std::string FrameText() const;
  bool HoldsTrack() const;
  bool StartsFrame(std::uint8_t b) const;
  void ArmBurstTimer();
  void StopBurstTimer();
  void WatchQuietLine();
  void DropFrame();
  void OnTimer(std::uintptr_t id);
  void Post(std::uint32_t msg, platform::LPARAM value);

  std::int32_t CountRx = 0;
  std::array<std::uint8_t, kMaxFrameBytes + 1> BufferRx{};
  AnsiString fTessera;
  TStatiDispo DispoStato = sdStart;
  std::int32_t fTrack = 2;
  TComm32* fComm;
  platform::HWND fBurstWindow = 0;
  bool fEndPending = false;
  bool fQuietArmed = false;
  std::uint8_t fEnd = 0;   // the ETX or carriage return that may have ended the frame
  bool fTrailer = false;   // and the line end after it
  bool fSkipping = false;  // the rest of a damaged burst is dropped
};

}  // namespace lumbra
