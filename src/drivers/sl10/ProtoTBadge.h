#pragma once
// The polling protocol of the SL-10 track-2 reader. The reader speaks only
// when polled: every timer step sends a one-byte poll (three bits set, or the
// complement with five) and the reader answers with one frame carrying the
// card status and, after a read, the track data or a failure. The host
// acknowledges data and failures with a complemented poll.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "base/Text.h"
#include "comm/comWin32.h"
#include "comm/protocol.h"

namespace lumbra {

// The 56 byte values with exactly three bits set, ascending.
extern const std::array<std::uint8_t, 56> kPollTable;

// Number of set bits of a start-byte field, where an empty field reads as 3.
std::uint8_t CountBits(std::uint8_t field);

class TProtTB : public TProtocol {
 public:
  static constexpr std::int32_t kMaxFrameBytes = 200;

  TProtTB(std::int32_t aID, platform::HWND aHwnd);
  ~TProtTB() override;

  void ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) override;
  void SetEnabled(bool value) override;
  void TimerProc() override;
  void InitProtocol() override;

  const AnsiString& LastTessera() const { return fTessera; }
  void SetLastTessera(const AnsiString& v) { fTessera = v; }
  TStatiDispo StatoLettore() const { return DispoStato; }
  std::uint8_t Statotessera() const { return fStatotessera; }
  bool Freezed() const { return fFreezed; }
  void SetFreezed(bool value);
  bool RTS() const { return fRTS; }
  TComm32& Comm() const { return *fComm; }

  bool fCheckSum = true;
  bool fCrypt = true;

 private:
  void EnterLock() { FLock.lock(); }
  void LeaveLock() { FLock.unlock(); }
  void SetRTS(bool State);
  void SendPoll(bool complemented);
  bool DecodePayload(const std::uint8_t* payload, std::int32_t len);
  void HandleFrame();
  bool CarriesRead() const;
  bool LostStartOfData(std::int32_t n) const;
  void LoseRead();
  void Post(std::uint32_t msg, platform::LPARAM value);

  std::int32_t CountRx = 0;
  std::array<std::uint8_t, 204> BufferRx{};
  std::atomic<std::int32_t> Retrys{0};
  std::uint8_t fStatotessera = 0;
  AnsiString fTessera;
  TStatiDispo DispoStato = sdStart;
  bool isInited = false;
  bool TesseraInserOk = true;
  std::recursive_mutex FLock;
  bool fRTS = false;
  bool fFreezed = false;
  TComm32* fComm;
  std::uint32_t fSeedSalt = 0;
  // Bytes outside a frame since the last frame ended, kept in BufferRx from
  // index 1; -1 while the rest of an abandoned frame is skipped up to the
  // next start or end byte.
  std::int32_t fStray = 0;
  bool fAckOwed = false;   // the next poll acknowledges a lost read
  bool fReadLost = false;  // this exchange's read was already shown as failed
};

}  // namespace lumbra
