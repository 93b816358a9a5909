#pragma once
// Virtual HID devices: devices that another program of the same user provides
// through Unix sockets, for simulation where the kernel cannot make a real
// HID node. The protocol is described in README.md ("Virtual HID devices").
//
// The folder holds one SOCK_SEQPACKET listening socket per device. Listing
// connects to each socket and reads the device's hello (its attributes);
// opening connects anew. On a connection every further message is one report,
// report ID first: input reports from the device, output reports to it.
// A socket that appears or goes away is an arrival or a removal.
//
// Instance identifiers of virtual devices have bit 31 set; the device names
// the rest. Real hidraw nodes never have it (device numbers stay below
// major 512, encoded as major << 20 | minor).
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Hid.h"

namespace lumbra::platform {

inline constexpr std::uint32_t kVirtualHidInstanceBit = 0x80000000u;

inline bool IsVirtualHidInstance(std::uint32_t instance) {
  return (instance & kVirtualHidInstanceBit) != 0;
}

// The hello a device sends first on every connection.
struct VirtualHidHello {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t version = 0;
  std::uint32_t number = 0;  // 1 to 0x7FFFFFFF
  std::uint16_t inputReportLength = 0;
  std::string product;
};
std::string EncodeVirtualHidHello(const VirtualHidHello& hello);
// False when the message is no hello of this protocol version.
bool DecodeVirtualHidHello(const std::string& message, VirtualHidHello& hello);

class VirtualHidSource {
 public:
  // The user's folder: $XDG_RUNTIME_DIR/lumbra/hid, or /tmp/lumbra-UID/hid
  // when XDG_RUNTIME_DIR is not set.
  static std::string DefaultFolder();
  // Makes the folder and its parent when they are missing (mode 0700), and
  // checks both: a real folder of this user that nobody else may enter.
  // False, with the reason, when either is not.
  static bool PrepareFolder(const std::string& folder, std::string& error);

  explicit VirtualHidSource(std::string folder = DefaultFolder());
  ~VirtualHidSource();
  VirtualHidSource(const VirtualHidSource&) = delete;
  VirtualHidSource& operator=(const VirtualHidSource&) = delete;

  const std::string& Folder() const { return fFolder; }

  // UI thread. Devices whose socket takes no connection, or that send no
  // valid hello in time, are left out; so is a second device with an
  // instance already listed. Nothing is listed from a folder that fails the
  // check of PrepareFolder.
  std::vector<HidDeviceInfo> Enumerate();
  std::unique_ptr<IHidDevice> Open(const HidDeviceInfo& info, std::string& error);

  // Watching the folder (inotify through the message loop): a socket that
  // appears or goes away makes one device-change broadcast.
  void Watch();
  void Unwatch();
  int Descriptor() const { return fInotify; }

 private:
  void Receive();
  void StopWatching();

  std::string fFolder;
  int fWatchCount = 0;
  int fInotify = -1;
  std::uintptr_t fWatch = 0;
};

}  // namespace lumbra::platform
