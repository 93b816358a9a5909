#pragma once
// Driver of the SLU-4x stripe readers ("SLU-43", "SLX-44"): tracks 1 to 3,
// sent unasked by the reader on every swipe.
#include "drivers/slu4x/ProtoSLU4x.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {

class TSLU43BadgeReader : public TCustomBadgeReader {
  LUMBRA_READER_CLASS(TSLU43BadgeReader)
 public:
  explicit TSLU43BadgeReader(TComponent* AOwner);
  ~TSLU43BadgeReader() override;

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

  TProtSLU4x* Protocol() const { return ProtB; }

 protected:
  TProtSLU4x* ProtB = nullptr;
  bool inTimer = false;
};

}  // namespace lumbra
