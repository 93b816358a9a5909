#pragma once
// The SMW460 command protocol of the SMW-46 reader/encoder: the host sends
// one-letter commands after an STX, the device answers with replies that
// begin with ESC. The driver keeps a read ("r") outstanding, initialises the
// device with "a", "e" and the coercivity command, and takes an unanswered
// initialisation command for a lost device.
//
// One port holder serves the whole process: the program makes it at start-up
// and every protocol takes it from there (or makes it, when it is first).
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "base/Text.h"
#include "comm/AdPort.h"
#include "comm/statiDispo.h"
#include "reader/protoGEConst.h"

namespace lumbra {

class TProtSMW460;

// The tracks of a read reply's text (the bytes after its ESC) as the badge
// text of a track code; false unless the reply is well formed and its status
// is "0". `wellFormed` tells whether it was a read reply at all (it begins
// with "s" and holds FS followed by ESC).
bool ParseSMW460Read(const AnsiString& reply, std::int32_t trackCode, AnsiString& tessera,
                     bool* wellFormed = nullptr);

class Tdmsmw46 : public TPortHolder {
 public:
  explicit Tdmsmw46(TComponent* AOwner);

  // The process-wide holder: the one made at start-up, or a new one when there
  // is none yet. Free only once no protocol uses it (at the program's end).
  static Tdmsmw46& Shared();
  static bool SharedExists();
  static void FreeShared();

  TProtSMW460* fProto = nullptr;

  // The port's device went away under it; set until the port is closed.
  bool PortLost() const { return fLost; }
  void ClosePort();
  void OpenPort();

 protected:
  bool HasProto() const override { return fProto != nullptr; }
  void ProtoReceive(const std::uint8_t* buffer, std::int32_t count) override;
  platform::HWND ProtoOwner() const override;

 private:
  void LineError(TObject* CP, std::uint16_t Error, bool LineBreak);
  bool fLost = false;
};

class TProtSMW460 : public TObject {
 public:
  static constexpr std::int32_t kMaxReply = 512;
  // The gap the device needs after "a" before it takes another command.
  static constexpr std::uint32_t kImmediatePauseMs = 200;
  static constexpr std::uint32_t kCommandTimeoutMs = 800;
  // A read outstanding this long with no sign of the device is asked for
  // anew, the device initialised first: a device that was switched off and
  // on has lost its read, and one that stays off is noticed by its
  // unanswered "e". Long beside the second or so that the new read takes,
  // so that a swipe rarely meets it.
  static constexpr std::uint32_t kReadLivenessMs = 20000;
  // A write waits for a card for this long unless told otherwise.
  static constexpr std::uint32_t kLongTimeoutMs = 2000000;
  static constexpr std::uint32_t kIdleMs = 300;
  // A reply is sent in one go: a gap this long inside one (far beyond a USB
  // adapter's latency of a few milliseconds) means its end was lost.
  static constexpr std::uint32_t kReplyQuietMs = 250;

  TProtSMW460(std::int32_t aID, platform::HWND aHwnd);
  ~TProtSMW460() override;

  // A read outstanding on a healthy port, no reply under way: a timer step
  // would only look at the read's liveness limit.
  bool StepIdle() const;
  // Called when received bytes leave the step something to do (a reply
  // under way, to drop should the line fall quiet).
  std::function<void()> OnBusy;
  void TimerProc();
  void Inizializza();
  void ReadTessera(std::int32_t aTrack);
  void WriteTessera(const AnsiString& data, std::int32_t aTrack);
  // The holder hands every block of received bytes here.
  void ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len);

  // "COMn" or the device path.
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
  TStatiDispo StatoLettore() const { return DispoStato; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value);

  platform::HWND OwnerHandle() const { return Ownerhandle; }
  TStatoColloquio Exchange() const { return StatoCom; }
  bool Inited() const { return inited; }
  Tdmsmw46& Holder() const { return *dm; }

 private:
  void ResetState();
  bool SendRaw(const AnsiString& bytes);
  void IssueCommand(const AnsiString& command);
  void QueueCommand(const AnsiString& command);
  void SendImmediate(const AnsiString& command);
  void SwitchOff();
  void DropReply();
  void SendNext();
  void ProcessFrame();
  void UnexpectedReply(bool keepOperation);
  void MarkActive();
  void PortDown(std::uint32_t now);
  void Post(std::uint32_t msg, platform::WPARAM wParam, platform::LPARAM lParam);
  TApdComPort& Port() const { return *dm->ApdComPort1; }

  platform::HWND Ownerhandle;
  std::int32_t fTimeoutWrite = 0;
  std::int32_t fId;
  std::int32_t CountRx = 0;
  std::array<std::uint8_t, kMaxReply + 1> BufferRx{};
  TStatoColloquio StatoCom = scNoData;
  bool indata = false;
  std::int32_t finedata = 0;
  bool inrev = false;
  AnsiString fTessera;
  bool FEnabled = false;
  TStatiDispo DispoStato = sdStart;
  std::uint8_t fPendingOperation = 0;
  std::deque<AnsiString> PendingTrame;
  TCoercitivity fCoercitivity = loco;
  bool inited = false;
  std::int32_t fTrack = 2;
  std::uint8_t LastCommand = 0;
  std::uint32_t TickCommand = 0;
  Tdmsmw46* dm;
  std::uint8_t STX = 0x02;
  // A lost port has been reported and the device has not answered since.
  bool fDownReported = false;
  // "a" went out at TickCommand: the next command waits for the gap.
  bool fAfterReset = false;
  // When the last received bytes came.
  std::uint32_t fLastRxTick = 0;
};

}  // namespace lumbra
