#pragma once
// Driver of model "SL-10": a track-2 swipe or insertion reader polled on a
// serial port.
#include "drivers/sl10/ProtoTBadge.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {

class TSerialBadgeReader : public TCustomBadgeReader {
  LUMBRA_READER_CLASS(TSerialBadgeReader)
 public:
  explicit TSerialBadgeReader(TComponent* AOwner);
  ~TSerialBadgeReader() override;

  static bool TrackSupported(std::int32_t trackcode) { return trackcode == 2; }
  static bool CoercitivitySupported(TCoercitivity coer) { return coer == loco; }

  void CreateProtocol() override;
  void FreeProtocol() override;
  void SetActive(bool value) override;
  bool Active() const override;
  TStatiDispo Status() const override;
  std::uint8_t StatoTessera() override;
  void SetCOM(const std::string& value) override;
  AnsiString GetReadData() override;
  void DoTimerTick() override;
  void SetTrack(std::int32_t value) override;

  TProtTB* Protocol() const { return ProtB; }

 private:
  TProtTB* ProtB = nullptr;
};

}  // namespace lumbra
