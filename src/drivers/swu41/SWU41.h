#pragma once
// Driver of the "SWU-41" stripe reader/encoder (EPX3000 protocol): tracks 1
// to 3 in every combination, both coercivities, writes verified by the
// device's read-back.
#include "drivers/swu41/ProtoEPX3000.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {

class TSWU41BadgeWriter : public TCustomBadgeReader {
  LUMBRA_READER_CLASS(TSWU41BadgeWriter)
 public:
  explicit TSWU41BadgeWriter(TComponent* AOwner);
  ~TSWU41BadgeWriter() override;

  static bool IsWriter() { return true; }
  static bool TrackSupported(std::int32_t t) { return t >= 1 && t <= 7; }
  static bool CoercitivitySupported(TCoercitivity) { return true; }
  static bool IsStripe() { return true; }

  void SetTimeoutWrite(std::int32_t value) override;
  void SetCoercitivity(TCoercitivity value) override;
  void DoDeviceError(TMessage& Msg) override;
  void SetTrack(std::int32_t value) override;
  void SetBpi(std::int32_t value) override;
  void SetCOM(const std::string& value) override;
  bool Active() const override;
  void SetActive(bool value) override;
  long double Startmm() const override;
  void SetStartmm(long double value) override;
  AnsiString DispVersion() const override { return {}; }
  AnsiString GetReadData() override;
  void DoTimerTick() override;
  TStatiDispo Status() const override;
  void CreateProtocol() override;
  void FreeProtocol() override;
  void WriteTrackData(const AnsiString& data, std::uint8_t track) override;
  std::uint8_t StatoTessera() override { return csNoBadge; }
  std::int32_t CurrentOperation() override;
  void Inizializza() override;
  void ReadTessera(std::uint8_t aTrack) override;
  void ResetOperation() override;

  TProtEPX3000* Protocol() const { return ProtB; }

 private:
  TProtEPX3000* ProtB = nullptr;
  mutable long double fstartmm = 16.0L;
  bool inTimer = false;
};

}  // namespace lumbra
