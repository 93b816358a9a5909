#pragma once
// USB HID devices: listing, opening, reading input reports and writing output
// reports, and notice of arrivals and removals.
//
// Contract
// - Enumerate lists the devices present now. A device that cannot be opened, or
//   whose attributes cannot be read, is left out and listing goes on past it.
//   It may be called from the UI thread only.
// - HidDeviceInfo::instance names a device among those present: never 0,
//   unique among present devices, and the same for as long as the device stays
//   plugged in (on Linux the hidraw node's device number; simulated devices
//   have their own range). A device that is unplugged and plugged back may get
//   another one.
// - Open gives an opened device or null with the system's reason in error.
//   The device object is the caller's; destroying it closes the device.
// - IHidDevice: Read is called by one reading thread, Write and everything
//   else by the UI thread; the two may overlap. Read waits at most timeoutMs
//   for one input report and returns its size (report ID first), 0 when none
//   came, -1 when the read failed (LastError says why; a device that is gone
//   goes on failing). Write sends one whole output report (report ID first),
//   blocking until it is sent, and is true only when all of it was sent.
// - Watch: while watched (UI thread), every arrival or removal of a HID device
//   reaches every message window as WM_DEVICECHANGE with WParam
//   DBT_DEVNODES_CHANGED and LParam 0, through the installed message loop.
//   Several changes close together may come as one broadcast. Watch counts:
//   each Watch is ended by one Unwatch.
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/MessageLoop.h"

namespace lumbra::platform {

inline constexpr WPARAM DBT_DEVNODES_CHANGED = 0x0007;

struct HidDeviceInfo {
  std::uint32_t instance = 0;
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t version = 0;
  std::string product;                  // product string, UTF-8; empty when it has none
  std::string path;                     // the backend's own name for opening it
  std::uint16_t inputReportLength = 0;  // bytes, report ID included
};

class IHidDevice {
 public:
  virtual ~IHidDevice() = default;
  virtual int Read(std::uint8_t* buf, int size, int timeoutMs) = 0;
  virtual bool Write(const std::uint8_t* data, int size) = 0;
  virtual std::string LastError() const = 0;
};

// What every backend's device does alike: the last error, set by whichever
// thread failed and read by the UI thread.
class BasicHidDevice : public IHidDevice {
 public:
  std::string LastError() const final {
    std::lock_guard lock(fErrorMutex);
    return fError;
  }

 protected:
  // Keeps why and returns -1, what a failed read returns.
  int Fail(const std::string& why) {
    std::lock_guard lock(fErrorMutex);
    fError = why;
    return -1;
  }

 private:
  mutable std::mutex fErrorMutex;
  std::string fError;
};

class IHidBackend {
 public:
  virtual ~IHidBackend() = default;
  virtual std::vector<HidDeviceInfo> Enumerate() = 0;
  virtual std::unique_ptr<IHidDevice> Open(const HidDeviceInfo& info, std::string& error) = 0;
  virtual void Watch() = 0;
  virtual void Unwatch() = 0;
};

// The installed backend; without one, no HID device is present.
// Installing is done once at start-up; the backend outlives its devices.
IHidBackend& HidBackend();
void SetHidBackend(IHidBackend* backend);

}  // namespace lumbra::platform
