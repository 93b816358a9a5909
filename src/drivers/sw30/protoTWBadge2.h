#pragma once
// The protocol of the SW-30 motorised reader/encoder. The host sends one
// framed command at a time (STX, text, ETX, block check character); the
// device acknowledges it (ACK) or refuses it (NAK), and the host fetches the
// answer with ENQ. While idle the host asks for the card status, and a card
// offered at the entrance starts a read, or a write held until then.
#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <string>

#include "base/Text.h"
#include "comm/comWin32.h"
#include "comm/protocol.h"

namespace lumbra {

// The exclusive OR of all bytes of text (0 for none).
std::uint8_t ComputeBCC(const std::string& text);
// STX, text, ETX and the check character of text and ETX.
std::string FrameCommand(const std::string& text);

class TProtTWbadge2 : public TProtocol {
 public:
  static constexpr std::int32_t kMaxAnswerBytes = 200;
  // Timer steps waited for the ACK of a command, and for its answer.
  static constexpr std::int32_t kAckWaitSteps = 9;
  static constexpr std::int32_t kAnswerWaitSteps = 72;
  // Idle steps between two status requests (250 ms at 55 ms a step).
  static constexpr std::int32_t kIdleSteps = 250 / 55;
  // Reads of one card asked for again after their exchange was cut short.
  static constexpr std::int32_t kReadRepeats = 2;

  // Request modes, the command codes of a read and a write.
  static constexpr std::uint8_t kModeRead = '6';
  static constexpr std::uint8_t kModeWrite = '7';

  TProtTWbadge2(std::int32_t aID, platform::HWND aHandle);
  ~TProtTWbadge2() override;

  void ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) override;
  void SetEnabled(bool value) override;
  void TimerProc() override;
  void InitProtocol() override;

  void Inizializza();
  void ReadTessera(std::int32_t Track);
  void WriteTessera(const AnsiString& CodTessera, std::int32_t Track);
  void EjectTessera() { QueueCommand("C30"); }
  void EjectBack() { QueueCommand("C31"); }
  void CaptureTessera() { QueueCommand("C20"); }
  void SetLed(bool statoLed1, bool statoLed2, bool statoLed3, bool statoled4);
  void SetBuzzer(std::uint8_t numBeeps);
  void SetReadWriteRetry(std::uint8_t num);

  std::int32_t TimeoutWrite() const { return fTimeoutWrite; }
  void SetTimeoutWrite(std::int32_t value) { fTimeoutWrite = value; }
  std::int32_t Track() const { return fTrack; }
  void SetTrack(std::int32_t value);
  std::uint8_t StatoTessera() const { return fStatotessera; }
  const AnsiString& LastTessera() const { return fTessera; }
  const AnsiString& Version() const { return fVersion; }
  TStatiDispo StatoLettore() const { return DispoStato; }
  std::uint8_t RequestOperation() const { return fRequestOperation; }
  // 0 idle, 1 waiting for the ACK of a command, 2 waiting for its answer.
  std::uint8_t PendingOperationState() const { return PendingOperation; }
  size_t QueuedCommands() const { return PendingTrame.size(); }
  bool Inited() const { return inited; }
  TComm32& Comm() const { return *fComm; }

 private:
  void QueueCommand(const std::string& text);
  void SendText(const std::string& text);
  void SendNextCommand();
  void HandleAnswer(std::uint8_t bcc);
  void CloseExchange();
  bool ReadUnderWay() const;
  void CutRead();
  void ReadSettled();
  void RequestLight(char light) { QueueCommand(std::string("C5") + light); }
  void WriteRaw(const std::string& bytes);
  void Post(std::uint32_t msg, platform::WPARAM wParam, platform::LPARAM lParam);

  std::int32_t fTimeoutWrite = 0;
  std::int32_t CountRx = 0;
  std::array<std::uint8_t, kMaxAnswerBytes + 1> BufferRx{};
  bool finetrama = false;
  std::atomic<std::int32_t> Retry{0};
  std::uint8_t fStatotessera = 0;
  AnsiString fTessera;
  AnsiString fVersion;
  std::int32_t fTrack = 2;
  TStatiDispo DispoStato = sdStart;
  std::uint8_t PendingOperation = 0;
  std::uint8_t fRequestOperation = kModeRead;
  std::deque<std::string> PendingTrame;
  std::uint32_t fTickWrite = 0;
  AnsiString fTesToWrite;
  std::int32_t fTrackToWrite = 2;
  std::string LastCommand;
  bool inited = false;
  std::string fCutRead;  // a read to ask for again at the next idle step
  std::int32_t fReadCuts = 0;
  TComm32* fComm;
};

}  // namespace lumbra
