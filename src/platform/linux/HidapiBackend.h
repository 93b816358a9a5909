#pragma once
// HID devices on Linux: real devices through hidapi's hidraw backend, and
// the virtual devices of the user's socket folder (see VirtualHid.h), in one
// list. Arrivals and removals come from a udev monitor on the hidraw
// subsystem and from the folder's watch.
//
// A real device's instance identifier is its hidraw node's device number
// (major << 20 | minor). Its input report length comes from its report
// descriptor (64 when that cannot be read). Its reports are handed out with
// the report ID first also when the device has none (ID 0), as the HID
// layer's users expect them.
#include <memory>
#include <string>

#include "platform/Hid.h"
#include "platform/linux/VirtualHid.h"

namespace lumbra::platform {

class UdevHidMonitor;

class HidapiBackend final : public IHidBackend {
 public:
  HidapiBackend();
  explicit HidapiBackend(std::string virtualFolder);
  ~HidapiBackend() override;
  HidapiBackend(const HidapiBackend&) = delete;
  HidapiBackend& operator=(const HidapiBackend&) = delete;

  std::vector<HidDeviceInfo> Enumerate() override;
  std::unique_ptr<IHidDevice> Open(const HidDeviceInfo& info, std::string& error) override;
  void Watch() override;
  void Unwatch() override;

  VirtualHidSource& Virtual() { return fVirtual; }

 private:
  std::vector<HidDeviceInfo> EnumerateHidraw();
  std::unique_ptr<IHidDevice> OpenHidraw(const HidDeviceInfo& info, std::string& error);

  VirtualHidSource fVirtual;
  std::unique_ptr<UdevHidMonitor> fMonitor;
  int fWatchCount = 0;
};

}  // namespace lumbra::platform
