#pragma once
// Driver of model "SW-30": a motorised reader and encoder of tracks 1 to 3 on
// a serial port. A card offered at the entrance is drawn in and read; a write
// asked for with no card waits for one.
#include "drivers/sw30/protoTWBadge2.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {

class TSerialBadgeWriter2 : public TCustomBadgeReader {
  LUMBRA_READER_CLASS(TSerialBadgeWriter2)
 public:
  explicit TSerialBadgeWriter2(TComponent* AOwner);
  ~TSerialBadgeWriter2() override;

  static bool TrackSupported(std::int32_t trackcode) { return trackcode >= 1 && trackcode <= 3; }
  static bool CoercitivitySupported(TCoercitivity coer) { return coer == loco; }
  static bool IsWriter() { return true; }

  void CreateProtocol() override;
  void FreeProtocol() override;
  void SetActive(bool value) override;
  bool Active() const override;
  TStatiDispo Status() const override;
  std::uint8_t StatoTessera() override;
  AnsiString GetReadData() override;
  AnsiString DispVersion() const override;
  std::int32_t CurrentOperation() override;
  void SetCOM(const std::string& value) override;
  void SetTrack(std::int32_t value) override;
  void SetTimeoutWrite(std::int32_t value) override;
  void DoTimerTick() override;
  void DoDeviceError(TMessage& Msg) override;
  void WriteTrackData(const AnsiString& data, std::uint8_t track) override;
  void Inizializza() override;
  void ReadTessera(std::uint8_t aTrack) override;
  void EjectTessera() override;
  void EjectBack() override;
  void CaptureTessera() override;
  void ResetOperation() override { ReadCard(); }
  void SetLed(bool statoLed1, bool statoLed2, bool statoLed3, bool statoled4) override;
  void SetBuzzer(std::uint8_t numBeeps) override;
  void SetReadWriteRetry(std::uint8_t num) override;

  TProtTWbadge2* Protocol() const { return ProtB; }

 private:
  TProtTWbadge2* ProtB = nullptr;
};

}  // namespace lumbra
