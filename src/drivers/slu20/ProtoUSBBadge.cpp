#include "drivers/slu20/ProtoUSBBadge.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <vector>

#include "comm/DeviceMessages.h"
#include "comm/ReadTexts.h"
#include "comm/wmProtocol.h"

namespace lumbra {
namespace {

// Stands for a failed read while the card stays in: a parity error can come
// before any character was decoded, and the memory must still be set so that
// the failure is reported once. No decoding yields it ('?' is the value of the
// end sentinel, which never becomes a character).
constexpr char kFailedReadMark[] = "?";

bool OddParity(std::uint8_t v) {
  return (std::popcount(static_cast<unsigned>(v)) & 1) != 0;
}

}  // namespace

TProtoUSBBadge::TProtoUSBBadge(platform::HWND aHandle) : fWnd(aHandle) {
  fStato = sdStart;
  OpenClaimTable();
}

TProtoUSBBadge::~TProtoUSBBadge() {
  SetEnabled(false);
  fTable.reset();
}

void TProtoUSBBadge::OpenClaimTable() {
  // The backend creates the table, zero-filled and open to every user, when
  // no running copy has made it yet.
  fTable = platform::ClaimTables().Open(kClaimTableName, kClaimTableBytes);
}

bool TProtoUSBBadge::ClaimDevice(std::uint32_t key, bool claim) {
  if (!fTable) return false;
  if (!claim) {
    if (fClaimKey != key || key == 0) return true;
    if (std::uint32_t* slots = fTable->Map()) {
      std::uint32_t mine = key;
      if (fClaimSlot >= 0) std::atomic_ref(slots[fClaimSlot]).compare_exchange_strong(mine, 0);
      fTable->Unmap();
    }
    fTable->Release(key);
    fClaimSlot = -1;
    fClaimKey = 0;
    return true;
  }
  std::uint32_t* slots = fTable->Map();
  if (slots == nullptr) return false;
  // The hold decides: of copies racing for one reader exactly one gets it,
  // whether or not the table has room to record it.
  const bool result = fTable->Hold(key);
  if (result) {
    fClaimKey = key;
    fClaimSlot = -1;
    // A slot naming the reader already was left by a copy that ended
    // without clearing it; otherwise the first slot whose reader nobody holds.
    for (int i = 0; i < kClaimSlots && fClaimSlot < 0; ++i)
      if (std::atomic_ref(slots[i]).load() == key) fClaimSlot = i;
    for (int i = 0; i < kClaimSlots && fClaimSlot < 0; ++i) {
      std::uint32_t seen = std::atomic_ref(slots[i]).load();
      if ((seen == 0 || !fTable->Held(seen)) &&
          std::atomic_ref(slots[i]).compare_exchange_strong(seen, key))
        fClaimSlot = i;
    }
    // With every slot taken the reader is used unrecorded: the hold still
    // keeps every other copy from it.
  }
  fTable->Unmap();
  return result;
}

bool TProtoUSBBadge::FreeReaderPresent() {
  TGlobalHidController* c = TGlobalHidController::Existing();
  if (c == nullptr || !fTable) return false;
  for (int i = 0; i < c->Count(); ++i) {
    const THidDevice* d = c->Device(i);
    if (d->IsPluggedIn() && !d->IsCheckedOut() && d->ProductName() == kProductName &&
        !fTable->Held(d->Instance()))
      return true;
  }
  return false;
}

bool TProtoUSBBadge::AcceptDevice(THidDevice* HidDev) {
  if (HidDev->ProductName() != kProductName) return false;
  return fisMonitor || ClaimDevice(HidDev->Instance(), true);
}

void TProtoUSBBadge::HidEnumerate(THidDevice* HidDev, int Idx) {
  if (!fActive || MyHid != nullptr || HidDev->IsCheckedOut() || !AcceptDevice(HidDev)) return;
  TGlobalHidController* c = TGlobalHidController::Existing();
  if (c != nullptr && c->CheckOutByIndex(MyHid, Idx)) return;
  MyHid = nullptr;
  if (!fisMonitor) ClaimDevice(fClaimKey, false);
  // Told once, with its cause; later tries are quiet until it opens.
  const std::string why = HidDev->LastError();
  if (why != fOpenProblem) {
    fOpenProblem = why;
    fToldDown = true;
    auto notice = std::make_unique<TStdMessage>();
    notice->orario = NowDateTime();
    notice->dataStr = std::string(kOpenFailedText) + "\n" + why;
    PostStdMessage(fWnd, std::move(notice));
  }
}

void TProtoUSBBadge::HidArrival(THidDevice*) {}

void TProtoUSBBadge::ReleaseDevice() {
  if (MyHid == nullptr) return;
  THidDevice* d = MyHid;
  MyHid = nullptr;
  // The claim is told by what was written: the device object may be gone
  // with a controller freed at the end of the program.
  if (!fisMonitor) ClaimDevice(fClaimKey, false);
  if (TGlobalHidController* c = TGlobalHidController::Existing()) c->CheckIn(d);
}

void TProtoUSBBadge::SetEnabled(bool value) {
  if (value == fActive && (!fActive || MyHid != nullptr)) return;
  StatoCom = scNoData;
  fActive = value;
  fStatoTessera = 0;
  fLastTessera.clear();
  fReported = false;
  fBuffer.clear();
  if (value) {
    fStato = sdStart;
    StartHidNotification();
    EnumerateDevice();
    if (MyHid != nullptr) {
      TellRestored();
    } else {
      fStato = sdTimeout;
      // A reader already shown missing is not shown missing again: each
      // device change and the first listing re-enable.
      if (!fToldDown) Post(WM_DISP_TIMEOUT, 0);
      fToldDown = true;
    }
  } else {
    ReleaseDevice();
    StopHidNotification();
    fToldDown = false;
    fOpenProblem.clear();
  }
}

void TProtoUSBBadge::TellRestored() {
  Post(WM_DISP_RESTORE, 0);
  fStato = sdAttivo;
  fToldDown = false;
  fOpenProblem.clear();
}

void TProtoUSBBadge::HidDeviceChange() {
  if (!fActive) return;
  if (MyHid != nullptr && MyHid->IsPluggedIn()) {
    // Our reader is still there: keep it, its claim and what it reported, so
    // a card held in the slot is not typed again because some other device
    // came or went, and no other copy can take the reader meanwhile.
    StatoCom = scNoData;
    TellRestored();
    return;
  }
  ReleaseDevice();
  fActive = false;
  SetEnabled(true);
}

void TProtoUSBBadge::ForceGetDevices() {
  if (TGlobalHidController* c = TGlobalHidController::Existing()) c->RequestDeviceChange();
}

void TProtoUSBBadge::SendRequest() {
  if (fisMonitor || MyHid == nullptr) return;
  static constexpr std::uint8_t kRequest[3] = {0x00, 0x30, 0x30};
  // A failed write shows as a silent reader after the timer's steps.
  MyHid->WriteReport(kRequest, sizeof kRequest);
}

void TProtoUSBBadge::TimerProc() {
  if (inTimer) return;
  inTimer = true;
  struct Clear {
    bool& flag;
    ~Clear() { flag = false; }
  } clear{inTimer};
  if (fActive && MyHid == nullptr && !fisMonitor && FreeReaderPresent()) {
    // Another copy ended (or died) and left its reader, or a reader that
    // could not be opened may open now: take it rather than wait for the
    // next device change, which may never come. Quietly: what stands in
    // the way was told already.
    EnumerateDevice();
    if (MyHid != nullptr) {
      StatoCom = scNoData;
      fStatoTessera = 0;
      fLastTessera.clear();
      fReported = false;
      fBuffer.clear();
      TellRestored();
    }
    return;
  }
  if (!fActive || MyHid == nullptr) return;
  if (StatoCom == scNoData) {
    Retrys = 0;
    SendRequest();
    StatoCom = scAttesa;
    return;
  }
  ++Retrys;
  if (Retrys >= kTimeoutSteps) {
    StatoCom = scNoData;
    if (fStato != sdTimeout) {
      fStato = sdTimeout;
      Post(WM_DISP_TIMEOUT, 0);
    }
  } else if (Retrys % 2 == 0) {
    SendRequest();
  }
}

void TProtoUSBBadge::HidDeviceData(THidDevice* HidDev, std::uint8_t, const std::uint8_t* Data,
                                   std::uint16_t Size) {
  if (!fActive || HidDev == nullptr || HidDev != MyHid || Size < 1) return;
  ProcessReport(Data, Size);
}

void TProtoUSBBadge::ProcessReport(const std::uint8_t* Data, std::uint16_t Size) {
  if (Size < 1) return;
  const int n = Data[0];
  if ((n - 1) * static_cast<int>(kPacketBytes) == static_cast<int>(fBuffer.size())) {
    const std::size_t take = std::min<std::size_t>(kPacketBytes, Size - 1u);
    fBuffer.append(reinterpret_cast<const char*>(Data + 1), take);
    if (n == kLastPacket) {
      DecodeBlock();
      fBuffer.clear();
    }
  } else {
    fBuffer.clear();
  }
  // Each packet but the last asks for the next one.
  if (!inTimer && n != kLastPacket) {
    Retrys = 0;
    SendRequest();
  }
}

AnsiString TProtoUSBBadge::HexDigits(const AnsiString& s) {
  AnsiString out = s;
  for (char& c : out)
    if (static_cast<unsigned char>(c) > '9') c = static_cast<char>(c + 7);
  return out;
}

void TProtoUSBBadge::DecodeBlock() {
  if (fBuffer.size() != kBlockSize) return;
  const auto* b = reinterpret_cast<const std::uint8_t*>(fBuffer.data());
  struct Done {
    TStatoColloquio& com;
    ~Done() { com = scNoData; }  // the next timer step asks again
  } done{StatoCom};

  const std::uint8_t code = b[0] & 0x03;
  // Code 3 has no card status: such a block tells nothing, and taking it for
  // a status could make a card look removed and be typed again.
  if (code == 3) return;
  const std::uint8_t status = code == 0 ? 1 : code == 1 ? 3 : 2;
  const std::uint8_t L = std::min(b[1], kMaxTrackBytes);

  if (status != fStatoTessera) {
    fStatoTessera = status;
    Post(WM_TESSERA_STATUS, status);
    if (status == 2 && L == 0) Post(WM_BAD_INSERT, 0);
  }
  if (status != 2) {
    fLastTessera.clear();
    fReported = false;
    return;
  }
  if (L == 0) return;

  const std::uint8_t* track = b + 3;
  std::uint8_t lrc = 0x0B;  // the start sentinel, which the reader does not send
  AnsiString text;
  for (int i = 0; i < L; ++i) {
    const std::uint8_t c = track[i];
    const std::uint8_t value = c & 0x0F;
    if (value == 0x0F) {
      if (i == L - 1) break;
      std::uint8_t expected = lrc ^ 0x0F;
      if (!OddParity(expected)) expected |= 0x10;
      if (track[i + 1] != expected) {
        // Once the card was read, a bad block of it must not replace the
        // memory: the next good block would then type it a second time.
        if (!fReported && fLastTessera != text) {
          fLastTessera = text;
          Post(WM_TESSERA_READ, trReadFailed);
        }
        return;
      }
      break;
    }
    if (!OddParity(c & 0x1F)) {
      if (fLastTessera.empty()) {
        fLastTessera = text.empty() ? AnsiString(kFailedReadMark) : text;
        Post(WM_TESSERA_READ, trReadFailed);
      }
      return;
    }
    text += static_cast<char>('0' + value);
    lrc ^= value;
  }
  const AnsiString hex = HexDigits(text);
  if (!hex.empty() && hex != fLastTessera) {
    fLastTessera = hex;
    fReported = true;
    PostTesseraRead(fWnd, 0, hex);
  }
}

void TProtoUSBBadge::Post(std::uint32_t msg, platform::LPARAM value) {
  platform::MessageLoop().PostMessage(fWnd, msg, 0, value);
}

}  // namespace lumbra
