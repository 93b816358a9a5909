#pragma once
// The protocol of the SLU-20 USB reader. On every timer step the host asks
// for the reader's 28-byte state block with a short output report; the reader
// answers one packet per request, four packets of seven block bytes each, and
// the host asks for the next packet as soon as one arrives. The block holds
// the card status and the track 2 characters of the card in the slot, which
// is reported once while it stays there.
//
// Running copies of the program share the readers through a named claim
// table: each copy takes the first matching reader no other copy holds.
// A missing reader, or one that cannot be opened, is told once; the timer
// then tries again quietly and the reader is taken as soon as it opens.
#include <cstdint>
#include <memory>
#include <string>

#include "base/Text.h"
#include "comm/statiDispo.h"
#include "drivers/slu20/GlobalHidController.h"
#include "platform/ClaimTable.h"
#include "platform/MessageLoop.h"

namespace lumbra {

class TProtoUSBBadge : public TCustomHidNotifyObject {
 public:
  static constexpr char kProductName[] = "Tavik SLU-11 USB Badge Reader";
  static constexpr char kClaimTableName[] = "TavikUSBBadgeReader";
  static constexpr int kClaimSlots = 20;
  static constexpr std::size_t kClaimTableBytes = kClaimSlots * sizeof(std::uint32_t);
  static constexpr std::size_t kBlockSize = 28;
  static constexpr std::size_t kPacketBytes = 7;
  static constexpr int kLastPacket = 4;
  static constexpr std::uint8_t kMaxTrackBytes = 25;
  // Timer steps without a complete block before the reader counts as silent.
  static constexpr std::int32_t kTimeoutSteps = 8;
  // Heads the notice of a reader that is there but cannot be opened; the
  // cause follows on the next line.
  static constexpr char kOpenFailedText[] = "Il lettore di tessere USB non si può aprire:";

  explicit TProtoUSBBadge(platform::HWND aHandle);
  ~TProtoUSBBadge() override;

  bool Enabled() const { return fActive; }
  void SetEnabled(bool value);
  bool IsMonitor() const { return fisMonitor; }
  void SetIsMonitor(bool value) { fisMonitor = value; }
  const AnsiString& LastTessera() const { return fLastTessera; }
  TStatiDispo StatoLettore() const { return fStato; }
  std::uint8_t Statotessera() const { return fStatoTessera; }
  THidDevice* Device() const { return MyHid; }
  bool HasClaimTable() const { return fTable != nullptr; }

  void TimerProc();
  // Has the controller list the devices again, once for every window that
  // heard of the same change.
  void ForceGetDevices();

  void HidEnumerate(THidDevice* HidDev, int Idx) override;
  void HidArrival(THidDevice* HidDev) override;
  void HidDeviceChange() override;
  void HidDeviceData(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                     std::uint16_t Size) override;

  // One input report of the protocol's own device (report ID removed): packet
  // number, then block bytes.
  void ProcessReport(const std::uint8_t* Data, std::uint16_t Size);
  // The block being assembled.
  const std::string& Buffer() const { return fBuffer; }

  // Track characters "0" + value as the hexadecimal digits of the values.
  static AnsiString HexDigits(const AnsiString& s);

 private:
  void OpenClaimTable();
  bool ClaimDevice(std::uint32_t key, bool claim);
  bool AcceptDevice(THidDevice* HidDev);
  void ReleaseDevice();
  bool FreeReaderPresent();
  void SendRequest();
  void DecodeBlock();
  void Post(std::uint32_t msg, platform::LPARAM value);
  void TellRestored();

  bool inTimer = false;
  platform::HWND fWnd;
  AnsiString fLastTessera;
  bool fReported = false;  // the card in the slot was read and reported
  std::string fBuffer;
  bool fActive = false;
  TStatiDispo fStato = sdStart;
  THidDevice* MyHid = nullptr;
  std::uint8_t fStatoTessera = 0;
  bool fisMonitor = false;
  TStatoColloquio StatoCom = scNoData;
  std::int32_t Retrys = 0;
  std::unique_ptr<platform::IClaimTable> fTable;
  int fClaimSlot = -1;  // the slot this copy wrote its claim into
  std::uint32_t fClaimKey = 0;
  bool fToldDown = false;    // the driver was last told that no reader is there
  std::string fOpenProblem;  // why the reader could not be opened, as last told
};

}  // namespace lumbra
