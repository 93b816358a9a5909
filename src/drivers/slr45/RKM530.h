#pragma once
// Driver of the SLR-45 proximity reader: the badge code, rendered by the
// track code, delivered like the tracks of a magnetic card.
#include "drivers/slr45/protoRKM530.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {

class TSLR45BadgeReader : public TCustomBadgeReader {
  LUMBRA_READER_CLASS(TSLR45BadgeReader)
 public:
  explicit TSLR45BadgeReader(TComponent* AOwner);
  ~TSLR45BadgeReader() override;

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
  AnsiString GetReadData() override;
  void DoTimerTick() override;
  void Inizializza() override;
  void DoDeviceError(TMessage& Msg) override;
  std::uint8_t StatoTessera() override { return csNoBadge; }
  AnsiString DispVersion() const override { return {}; }

  TProtRKM530* Protocol() const { return ProtB; }

 protected:
  TProtRKM530* ProtB = nullptr;
  bool inTimer = false;
};

}  // namespace lumbra
