#pragma once
// USB HID devices on Windows: the interfaces of the HID class listed with
// SetupDi, each device opened overlapped and read through the HID class
// driver (HidD_*, HidP_GetCaps), and arrivals and removals from device
// notifications on a hidden window of the message loop.
//
// Listing keeps the devices that open for reading and writing, or for reading
// alone (the system keeps keyboards and mice to itself: those are left out).
//
// A device's instance identifier is derived from its device interface path,
// compared without regard to case: the same in every copy of the program (the
// claim table compares them across processes) and for as long as the device
// stays plugged in, which the system's device-node handles are not.
//
// Reads wait for one input report at most the time asked, then cancel the
// read (CancelIoEx); a report that completed meanwhile is still handed out.
// Writes are padded to the device's output report length, which the class
// driver insists on, and wait at most kWriteWaitMs.
//
// While watched, the system's notices of HID interfaces arriving or leaving
// come to a hidden window and become one DBT_DEVNODES_CHANGED broadcast per
// turn of the message loop. The system also sends DBT_DEVNODES_CHANGED to
// every top-level window, at moments of its own (before the new interface
// can be opened, for one), so a listener may see a change announced twice:
// listing again is harmless, and the interface notice is the one that comes
// once the device can be opened.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/Hid.h"

namespace lumbra::platform::win32 {

// Instance identifiers of device interface paths.
class HidInstanceTable {
 public:
  using Hash = std::uint32_t (*)(const std::string& key);
  explicit HidInstanceTable(Hash hash = &HashOfKey) : fHash(hash) {}

  // The identifiers of the present devices' paths, in their order. A path
  // present before keeps its identifier; a new one gets the hash of its key,
  // or the next free value when another present device has that (new paths
  // are placed in the order of their keys, so that copies of the program
  // that see the same devices agree). Paths no longer present are forgotten.
  std::vector<std::uint32_t> Assign(const std::vector<std::string>& paths);

  static std::string KeyOf(const std::string& path);  // the path in upper case
  static std::uint32_t HashOfKey(const std::string& key);

 private:
  Hash fHash;
  std::map<std::string, std::uint32_t> fAssigned;  // by key
};

// A device on an opened overlapped handle, which it takes over. Lengths are
// the device's report lengths, report ID included; 0 when it has none.
std::unique_ptr<IHidDevice> AdoptHidHandle(void* handle, std::uint16_t inputReportLength,
                                           std::uint16_t outputReportLength);

class Win32HidBackend final : public IHidBackend {
 public:
  // Longest wait for the device to take an output report.
  static constexpr int kWriteWaitMs = 1000;

  Win32HidBackend() = default;
  ~Win32HidBackend() override;
  Win32HidBackend(const Win32HidBackend&) = delete;
  Win32HidBackend& operator=(const Win32HidBackend&) = delete;

  std::vector<HidDeviceInfo> Enumerate() override;
  std::unique_ptr<IHidDevice> Open(const HidDeviceInfo& info, std::string& error) override;
  // The first Watch needs the Win32 message loop installed.
  void Watch() override;
  void Unwatch() override;

  // Why the last listing could not be made; empty when it was.
  const std::string& ListingError() const { return fListingError; }
  // The window the system's notices come to while watched (0 otherwise),
  // and whether the system took the registration for them.
  HWND NoticeWindow() const { return fWindow; }
  bool Registered() const { return fNotify != nullptr; }

 private:
  void Notice(TMessage& m);
  void StopWatching();

  HidInstanceTable fInstances;
  std::string fListingError;
  int fWatchCount = 0;
  HWND fWindow = 0;
  void* fNotify = nullptr;  // the registration's handle
  bool fAnnouncePending = false;
};

}  // namespace lumbra::platform::win32
