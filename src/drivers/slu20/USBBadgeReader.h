#pragma once
// Driver of model "SLU-20": a track-2 insertion reader on USB HID, asked for
// its state on every timer step. It takes the first matching reader no other
// running copy holds, whatever the port setting says.
#include "drivers/slu20/ProtoUSBBadge.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {

class TUSBBadgeReader : public TCustomBadgeReader {
  LUMBRA_READER_CLASS(TUSBBadgeReader)
 public:
  // What the program shows as this model's port.
  static constexpr char kAnyPort[] = "USB ANY";

  explicit TUSBBadgeReader(TComponent* AOwner);
  ~TUSBBadgeReader() override;

  static bool TrackSupported(std::int32_t trackcode) { return trackcode == 2; }
  static bool CoercitivitySupported(TCoercitivity coer) { return coer == loco; }
  static std::string FixedPort() { return kAnyPort; }

  void CreateProtocol() override;
  void FreeProtocol() override;
  void SetActive(bool value) override;
  bool Active() const override;
  TStatiDispo Status() const override;
  std::uint8_t StatoTessera() override;
  AnsiString GetReadData() override;
  void DoTimerTick() override;
  void SetTrack(std::int32_t value) override;

  TProtoUSBBadge* Protocol() const { return protB; }

 protected:
  void DoMessage(TMessage& Msg, bool& Handled) override;

 private:
  TProtoUSBBadge* protB = nullptr;
  bool inTimer = false;
};

}  // namespace lumbra
