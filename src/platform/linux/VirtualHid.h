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
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
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
  bool readOnly = false;  // opening it fails as a node one may only read
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

  // UI thread, never waiting more than a few milliseconds. Devices whose
  // socket takes no connection, or that send no valid hello, are left out;
  // so is a second device with an instance already listed. A device slow to
  // greet is greeted on in the background (for at most 250 ms) and listed
  // at the next listing, which a device-change broadcast asks for when its
  // hello comes; one that never greets is not asked again until its socket
  // is replaced. Nothing is listed from a folder that fails the check of
  // PrepareFolder.
  std::vector<HidDeviceInfo> Enumerate();
  // Connects again; a hello slower than a few milliseconds is checked by the
  // device's first Read, which fails when it never comes or names another
  // device. A device that may only be read is not opened.
  std::unique_ptr<IHidDevice> Open(const HidDeviceInfo& info, std::string& error);

  // Some device is being greeted in the background.
  bool Greeting() const;

  // Watching the folder (inotify through the message loop): a socket that
  // appears or goes away makes one device-change broadcast.
  void Watch();
  void Unwatch();
  int Descriptor() const { return fInotify; }

 private:
  enum State { kGreeting, kGreeted, kSilent };
  struct SocketId {
    dev_t dev = 0;
    ino_t ino = 0;
    time_t sec = 0;
    long nsec = 0;
    bool operator==(const SocketId&) const = default;
  };
  struct Known {
    SocketId id;
    State state = kGreeting;
    VirtualHidHello hello;
  };
  struct Pending {
    std::string path;
    SocketId id;
    int fd;
    std::chrono::steady_clock::time_point due;
  };
  // Shared with the background greeter.
  struct GreeterState {
    std::mutex mutex;
    std::map<std::string, Known> known;  // by path
    std::vector<Pending> pending;
    bool running = false;
    bool stop = false;
    int wake = -1;
  };
  static void RunGreeter(GreeterState& g);
  void StartGreeter();
  void Receive();
  void StopWatching();

  std::string fFolder;
  std::shared_ptr<GreeterState> fGreeter;
  std::thread fGreeterThread;
  int fWatchCount = 0;
  int fInotify = -1;
  std::uintptr_t fWatch = 0;
};

}  // namespace lumbra::platform
