#pragma once
// Scripted serial ports and an in-memory device table for tests.
//
// A test adds ports by path, then feeds bytes into them (Receive), makes them
// vanish (HangUp) and looks at what was written and set. Devices opened on a
// port share its state; waits wake on new bytes, a hang-up or the stop event.
// Any thread may feed a port.
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/SerialDeviceTable.h"
#include "platform/SerialPort.h"

namespace lumbra::platform {

class FakeSerialBackend;

struct FakeSerialPort {
  // Test side.
  void Receive(const std::string& bytes);
  void HangUp();
  void SetErrors(std::uint32_t errors);  // reported with the next event
  std::string Written() const;
  SerialSettings LastSettings() const;
  bool IsOpen() const;
  int OpenCount() const;

  bool hasModemLines = false;  // a pseudo-terminal has none
  std::string openError;       // when set, opening fails with this reason
  bool stalled = false;        // its output never drains: writes are refused
  // The next waits fail with this reason (as a pulled adapter's may before
  // its loss shows); set under the backend's lock, or before the port opens.
  int failingWaits = 0;
  std::string waitFailure = "The device is not ready.";
  bool holdOutput = false;     // written bytes wait in unsent (lines holding them back)
  std::string unsent;
  bool closedWithUnsent = false;  // a real driver's close would have waited for them
  // Lets the held output go out (moves it to written), as a line that frees up.
  void SendHeld();

  // Device side (under the backend's lock).
  FakeSerialBackend* backend = nullptr;
  std::string input;
  std::string written;
  std::uint64_t arrived = 0;
  std::uint64_t announced = 0;
  std::uint32_t errors = 0;
  bool lost = false;
  bool open = false;
  int opens = 0;
  bool dtr = false;
  bool rts = false;
  SerialSettings settings;
};

class FakeSerialBackend final : public ISerialBackend {
 public:
  // Installs this backend and removes it again on destruction.
  void Install();
  ~FakeSerialBackend() override;

  std::shared_ptr<FakeSerialPort> AddPort(const std::string& path);
  std::shared_ptr<FakeSerialPort> Port(const std::string& path) const;
  // How often a path was asked to open, whether it opened or not.
  int OpenAttempts(const std::string& path);

  std::unique_ptr<IWaitableEvent> CreateEvent() override;
  // Bare names live under /dev, as on Linux.
  std::string DevicePath(const std::string& name) override;
  std::unique_ptr<ISerialDevice> Open(const std::string& path, std::string& error) override;

  std::mutex mutex;
  std::condition_variable changed;

 private:
  std::map<std::string, std::shared_ptr<FakeSerialPort>> fPorts;
  std::map<std::string, int> fAttempts;
  bool fInstalled = false;
};

class FakeSerialDeviceTable final : public ISerialDeviceTable {
 public:
  void Install();
  ~FakeSerialDeviceTable() override;
  bool Read(std::vector<SerialDeviceEntry>& entries) override;

  bool readable = true;
  std::vector<SerialDeviceEntry> entries;

 private:
  bool fInstalled = false;
};

}  // namespace lumbra::platform
