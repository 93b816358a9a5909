#pragma once
// The EPX3000 protocol of the "SWU-41" stripe reader/encoder. The host sends
// framed commands (STX payload ETX check byte: initialise "i0", read "r" and
// a track code, write the sentinel-framed tracks) and a few unframed settings
// (ESC sequences); the device answers each framed command with one framed
// reply. A read is kept outstanding all the time, so a swipe is reported at
// once, and a write is verified against the tracks the device gives back.
//
// Everything runs on the UI thread: the port hands its bytes over there, and
// the timer step comes from the driver's 55 ms window timer.
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "base/Text.h"
#include "comm/AdPort.h"
#include "comm/protocol.h"
#include "reader/protoGEConst.h"

namespace lumbra {

class TProtEPX3000;

// The port holder: owns the port and hands its bytes to the protocol.
class Tdmepx3000 : public TPortHolder {
 public:
  explicit Tdmepx3000(TComponent* AOwner);
  TProtEPX3000* fProto = nullptr;

 protected:
  bool HasProto() const override { return fProto != nullptr; }
  void ProtoReceive(const std::uint8_t* buffer, std::int32_t count) override;
  platform::HWND ProtoOwner() const override;
  // A line error is worth telling only about a device that was answering.
  bool ReportLineErrors() const override;

 private:
  void LineError(TObject* CP, std::uint16_t Error, bool LineBreak);
};

namespace epx3000 {

inline constexpr std::uint8_t STX = 0x02;
inline constexpr std::uint8_t ETX = 0x03;
inline constexpr std::uint8_t ESC = 0x1B;
inline constexpr std::uint8_t DEL = 0x7F;
inline constexpr std::uint8_t ACK = 0x10;
inline constexpr std::uint8_t NAK = 0x15;

inline constexpr std::uint8_t kOpNone = 0;
inline constexpr std::uint8_t kOpInit = '0';
inline constexpr std::uint8_t kOpRead = '6';
inline constexpr std::uint8_t kOpWrite = '7';

// Bytes after STX that a frame may hold: payload, ETX and check byte.
inline constexpr std::int32_t kMaxFrame = 512;
// Timer steps an operation may wait for its answer.
inline constexpr std::int32_t kInitSteps = 10;
inline constexpr std::int32_t kLongSteps = 36363;  // about 2000 s
inline constexpr std::int32_t kStepMs = 55;
// A read outstanding this long (20 s) is followed by the initialise command,
// which the device answers: a device switched off, or off and on (its read
// lost), is noticed. The device is without a read for a few milliseconds of
// it, so a swipe rarely meets it.
inline constexpr std::int32_t kReadLivenessSteps = 20000 / kStepMs;
// Quiet steps before the next command goes out (200 ms).
inline constexpr std::int32_t kQuietSteps = 200 / kStepMs;
// Quiet steps after which a frame that has not ended is dropped. The device
// sends a reply in one go; a lone STX from line noise would otherwise take
// the next reply into its frame, and that reply would be lost to the check.
// At least two whole steps (110 ms): far more than any gap inside a reply,
// a USB adapter's latency timer included.
inline constexpr std::int32_t kFrameQuietSteps = 2;

// Exclusive or of every byte; 0 for an empty text.
std::uint8_t CalcLrc(const std::string& text);
// STX, payload, ETX and the check byte over payload and ETX.
std::string Frame(const std::string& payload);
// Millimetres to the nearest whole number, halves to the even neighbour;
// the start-offset command's digit ('6' to '9') for it.
char StartOffsetDigit(long double mm);
// The command payload of a write by track code (low byte); false when the
// data does not hold the tracks the code needs.
bool WritePayload(const AnsiString& data, std::uint8_t code, std::string& payload);
// The tracks present in a reply ('%' track 1, ';' track 2, '+' track 3, each
// up to '?'), in the order 1, 2, 3, joined by the track separator.
AnsiString ParseTracks(const std::string& reply);

}  // namespace epx3000

class TProtEPX3000 : public TProtocol {
 public:
  TProtEPX3000(std::int32_t aID, platform::HWND aHwnd);
  ~TProtEPX3000() override;

  void ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) override;
  bool SendFrame(const std::string& Trama) override;
  void SetEnabled(bool value) override;
  void TimerProc() override;
  void InitProtocol() override;

  void Inizializza();
  void ReadTessera(std::uint8_t aTrack);
  void WriteTessera(const AnsiString& data, std::uint8_t aTrack);
  void ResetOperation();

  // "COMn" for a numbered port, the device path for a port named by path.
  std::string ComPort() const;
  void SetComPort(const std::string& value);
  const AnsiString& LastTessera() const { return fTessera; }
  std::int32_t Track() const { return fTrack; }
  void SetTrack(std::int32_t value);
  std::uint8_t PendingOperation() const { return fPendingOperation; }
  std::int32_t TimeoutWrite() const { return fTimeoutWrite; }
  void SetTimeoutWrite(std::int32_t value) { fTimeoutWrite = value; }
  TCoercitivity Coercitivity() const { return fCoercitivity; }
  void SetCoercitivity(TCoercitivity value);
  std::int32_t Bpi() const { return fBPI; }
  void SetBpi(std::int32_t value);
  long double Startmm() const { return fStartmm; }
  void SetStartmm(long double value);
  TStatiDispo StatoLettore() const { return DispoStato; }
  TStatoColloquio Exchange() const { return StatoCom; }
  bool Inited() const { return inited; }
  bool InFrame() const { return CountRx > 0; }
  Tdmepx3000& Holder() const { return *dm; }

  // The port has lost its device (the adapter was pulled): closed at once,
  // and reopened by the timer step.
  void PortLost();

  // Nothing for the timer step to do but count the wait for a card: the
  // driver may let its timer rest.
  bool StepIdle() const;
  // Called when received bytes leave the step something to do (a frame under
  // way to drop should the line fall quiet, a read to ask for again).
  std::function<void()> OnBusy;

 private:
  friend class Tdmepx3000;

  void CalcLastCommand(const std::string& payload);
  void QueueFrame(const std::string& payload);
  void SendPayload(const std::string& payload);
  void SendNext();
  void ParseTracks();
  void ProcessFrame();
  void ReopenPort();
  // The frame under way is given up (cut by an STX, or the line fell quiet).
  void AbandonFrame();
  // The reply to the read outstanding was lost on the line.
  void ReadReplyLost();
  // A byte outside a frame: the rest of a reply whose STX was lost?
  void WatchOrphan(std::uint8_t b);
  // A new wait starts: counted in timer steps from now.
  void RestartWait();
  void Post(std::uint32_t msg, platform::WPARAM w, platform::LPARAM l);

  std::int32_t fTimeoutWrite = 0;
  std::int32_t fBPI = 0;
  long double fStartmm = 16.0L;
  Tdmepx3000* dm = nullptr;
  std::int32_t CountRx = 0;
  std::array<std::uint8_t, epx3000::kMaxFrame + 1> BufferRx{};
  bool finetrama = false;
  bool fOverflow = false;        // the frame under way no longer fits: dropped at its end
  std::int32_t fFrameQuiet = 0;  // timer steps since the last byte of the frame under way
  bool fGarbledRead = false;     // the read outstanding got a reply that failed its check
  bool fOrphan = false;          // tracks outside a frame, since the last control byte
  std::uint8_t fOrphanLast = 0;  // the byte before, outside a frame
  AnsiString fTessera;
  TStatiDispo DispoStato = sdStart;
  std::uint8_t fPendingOperation = epx3000::kOpNone;
  std::deque<std::string> PendingTrame;
  TCoercitivity fCoercitivity = loco;
  bool inited = false;
  std::int32_t fTrack = 2;
  std::int32_t Tentativi = 0;
  std::uint8_t LastCommand = epx3000::kOpNone;
  AnsiString fwritedata;
  // The reader problem has been shown since the device last answered, so a
  // port that stays away is reported once, not on every step.
  bool fDownShown = false;
  // When the last step ran, so that steps a resting timer slept through
  // still count towards the waits.
  std::uint64_t fLastStepMs = 0;
};

}  // namespace lumbra
