#pragma once
// A simulated USB HID device, offered to the program as a virtual HID device:
// a SOCK_SEQPACKET listening socket in the user's folder of virtual devices
// ($XDG_RUNTIME_DIR/lumbra/hid, or /tmp/lumbra-UID/hid), as README.md
// describes. Each connection gets the device's hello first; then every
// message from the host is an output report, and every input report goes to
// every open connection, as a HID device's reports reach every program that
// opened it.
//
// Unplugging removes the socket and closes every connection; plugging back
// makes a new socket, under the same instance number or a new one.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace readersim {

class SimHidPort;

struct SimHidIdentity {
  std::uint16_t vendorId = 0;
  std::uint16_t productId = 0;
  std::uint16_t version = 0;
  std::uint16_t inputReportLength = 0;  // report ID included
  std::string product;
};

// The device's side of a HID protocol. Both calls run on the port's thread or
// on the caller of SimHidPort::Command, never at the same time.
class SimHidDevice {
 public:
  virtual ~SimHidDevice() = default;
  virtual std::string Model() const = 0;
  virtual SimHidIdentity Identity() const = 0;
  // An output report the host wrote, report ID first.
  virtual void OnOutputReport(const std::string& report, SimHidPort& port) = 0;
  virtual bool Command(const std::string& verb, const std::string& arg, SimHidPort& port) = 0;
  virtual std::string Help() const = 0;

  // Set by the port's "silent" command, cleared by "answer".
  std::atomic<bool> fSilent{false};
};

class SimHidPort {
 public:
  // The user's folder of virtual HID devices.
  static std::string DefaultFolder();

  // number: the device's instance number, 1 to 0x7FFFFFFF.
  SimHidPort(std::unique_ptr<SimHidDevice> device, std::uint32_t number,
             std::string folder = DefaultFolder());
  ~SimHidPort();
  SimHidPort(const SimHidPort&) = delete;
  SimHidPort& operator=(const SimHidPort&) = delete;

  // The socket while plugged in.
  std::string SocketPath() const;
  std::uint32_t Number() const;
  bool Plugged() const;
  // Open connections (listing connections included until the host closes them).
  std::size_t Connections() const;

  // Sends an input report (report ID first) to every open connection; false
  // when unplugged or when no connection took it.
  bool SendInput(const std::string& report);
  void Unplug();
  // number 0 keeps the present instance number.
  void PlugBack(std::uint32_t number = 0);
  // "unplug", "plug [NUMBER]", "silent", "answer", "pause MS", "send BYTES"
  // (an input report as given, \xHH escapes), or one of the device's; and
  // the faults of a device gone wrong: "nohello" (connections from now on get
  // no hello; "hello" undoes it), "stall" (output reports are no longer
  // read, so the host's writes stop going through; "unstall"), "readonly"
  // (the hello says the device may only be read; "writable").
  bool Command(const std::string& line);

  // Every output report the host wrote (after the device saw it).
  std::function<void(const std::string&)> OnOutputReport;

 private:
  void Plug();
  void Run(int listener, int stopFd);
  void StopThread();
  void Accept(int listener);

  std::unique_ptr<SimHidDevice> fDevice;
  const std::string fFolder;
  mutable std::mutex fMutex;  // everything below
  std::recursive_mutex fDeviceMutex;
  std::uint32_t fNumber;
  int fListener = -1;
  int fStop = -1;
  std::string fPath;
  std::vector<int> fConnections;
  bool fNoHello = false;
  bool fStalled = false;
  bool fReadOnly = false;
  std::thread fThread;
};

// lumbra-readersim's loop for a HID model: plugs the device in, prints its
// socket, and runs the commands of standard input. arg: the instance number
// (default: the process id, so that simulators started together differ).
int RunSimHid(std::unique_ptr<SimHidDevice> device, const std::string& arg);

}  // namespace readersim
