#pragma once
// Driver of the SMW-46 magnetic stripe reader/encoder: tracks 1 to 3 in any
// combination, both coercivities, reading and writing. A lost device is
// reported once, until it answers again, the driver is switched on again or
// its port changes.
#include "drivers/smw46/ProtoSMW460.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {

class TSMW46BadgeWriter : public TCustomBadgeReader {
  LUMBRA_READER_CLASS(TSMW46BadgeWriter)
 public:
  explicit TSMW46BadgeWriter(TComponent* AOwner);
  ~TSMW46BadgeWriter() override;

  static bool IsWriter() { return true; }
  static bool TrackSupported(std::int32_t t) { return t >= 1 && t <= 7; }
  static bool CoercitivitySupported(TCoercitivity) { return true; }
  static bool IsStripe() { return true; }

  void CreateProtocol() override;
  void FreeProtocol() override;
  void SetActive(bool value) override;
  bool Active() const override;
  TStatiDispo Status() const override;
  void SetCOM(const std::string& value) override;
  void SetTrack(std::int32_t value) override;
  void SetBpi(std::int32_t value) override { fBPI = value; }
  long double Startmm() const override { return fstartmm; }
  void SetStartmm(long double value) override { fstartmm = value; }
  void SetCoercitivity(TCoercitivity value) override;
  void SetTimeoutWrite(std::int32_t value) override;
  void DoTimeout(TMessage& Msg) override;
  void DoRestore(TMessage& Msg) override;
  AnsiString GetReadData() override;
  void DoTimerTick() override;
  void Inizializza() override;
  void ReadTessera(std::uint8_t aTrack) override;
  void ResetOperation() override {
    WakeTimer();
    ReadCard();
  }
  void WriteTrackData(const AnsiString& data, std::uint8_t track) override;
  std::int32_t CurrentOperation() override;
  void DoDeviceError(TMessage& Msg) override;
  std::uint8_t StatoTessera() override { return csNoBadge; }
  AnsiString DispVersion() const override { return {}; }

  TProtSMW460* Protocol() const { return ProtB; }
  bool TimeoutReported() const { return ftimeoutreceived; }

 protected:
  TProtSMW460* ProtB = nullptr;
  bool inTimer = false;
  bool ftimeoutreceived = false;
  long double fstartmm = 7.5L;
};

}  // namespace lumbra
