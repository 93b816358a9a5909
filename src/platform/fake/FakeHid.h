#pragma once
// Scripted HID devices and an in-memory claim table for tests.
//
// A test adds devices (present at once or not), plugs and unplugs them, feeds
// input reports into them and looks at what was written. Plugging and
// unplugging a device while the backend is watched broadcasts the device
// change through the installed message loop, as the real backend does. Reads
// wait in real time (bounded by their timeout) for a fed report; any thread
// may feed a device.
//
// Each Open of the claim tables is one running copy of the program: copies
// that open the same name share its slots and its holds, and what a copy held
// is let go when it is destroyed or marked dead, as a crashed copy's would be.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ClaimTable.h"
#include "platform/Hid.h"

namespace lumbra::platform {

class FakeHidBackend;

struct FakeHidDevice {
  using Report = std::vector<std::uint8_t>;

  // Test side.
  void Feed(const Report& report);  // one input report, report ID first
  void SetReadFails(bool fails);    // readFails, while a reading thread may look
  std::vector<Report> Written() const;
  void ClearWritten();
  bool IsOpen() const;
  int OpenCount() const;   // opens so far
  size_t Unread() const;   // fed reports no reader has taken yet
  bool HasReader() const;  // a Read is waiting on it now

  HidDeviceInfo info;
  bool readFails = false;   // reads fail, as on a device that is gone
  bool writeFails = false;  // writes are refused
  // Writes do not complete (while it stays plugged in, for at most kStallMs),
  // as on a device that stopped taking reports.
  void SetWritesStall(bool stall);
  static constexpr int kStallMs = 3000;
  bool writesStall = false;
  int stalledWrites = 0;  // writes held up now
  std::string openError;    // when set, opening fails with this reason
  bool readOnly = false;    // with openError: listed all the same, as a node one may only read
  // Runs on the writing thread after each accepted write, with the backend's
  // lock released; a scripted reader answers from here.
  std::function<void(const Report&)> onWrite;

  // Device side (under the backend's lock).
  FakeHidBackend* backend = nullptr;
  bool present = false;
  std::deque<Report> input;                  // fed while no handle is open
  std::map<int, std::deque<Report>> queues;  // per open handle
  int lastHandle = 0;
  std::vector<Report> written;
  int opens = 0;
  int openHandles = 0;
  int readers = 0;
};

class FakeHidBackend final : public IHidBackend {
 public:
  // Installs this backend and removes it again on destruction, which first
  // waits (bounded) for the devices' handles to close: threads that use
  // them may end after their owner let go.
  void Install();
  ~FakeHidBackend() override;

  // A device with its own instance identifier; present tells whether it is
  // plugged in already (no broadcast for that).
  std::shared_ptr<FakeHidDevice> AddDevice(HidDeviceInfo info, bool present = true);
  void Plug(const std::shared_ptr<FakeHidDevice>& device);
  void Unplug(const std::shared_ptr<FakeHidDevice>& device);
  int Watchers() const;
  int EnumerateCount() const;

  std::vector<HidDeviceInfo> Enumerate() override;
  std::unique_ptr<IHidDevice> Open(const HidDeviceInfo& info, std::string& error) override;
  void Watch() override;
  void Unwatch() override;

  mutable std::mutex mutex;
  std::condition_variable changed;

 private:
  void SetPresent(const std::shared_ptr<FakeHidDevice>& device, bool present);

  std::vector<std::shared_ptr<FakeHidDevice>> fDevices;
  int fWatchers = 0;
  int fEnumerations = 0;
  bool fInstalled = false;
};

class FakeClaimTables final : public IClaimTableBackend {
 public:
  struct Table {
    std::vector<std::uint32_t> slots;
    std::map<std::uint32_t, int> holders;  // the copy number holding each reader
  };

  void Install();
  ~FakeClaimTables() override;

  std::unique_ptr<IClaimTable> Open(const std::string& name, std::size_t size) override;

  // The slots of a table (empty when it does not exist).
  std::vector<std::uint32_t> Slots(const std::string& name) const;
  // Writes a slot as a copy that has since died would have left it.
  void SetAbandoned(const std::string& name, int slot, std::uint32_t value);
  // Writes a slot as a live copy of the program other than the test's own
  // would, holding the reader; slot -1 holds it without recording it.
  void SetClaimedByOther(const std::string& name, int slot, std::uint32_t value);

  bool openFails = false;
  bool mapFails = false;

  // Used by the table handles.
  std::map<std::string, Table> tables;
  std::map<int, bool> alive;  // copy number, whether it still runs
  int nextCopy = 1;

 private:
  Table& TableOf(const std::string& name, std::size_t size);
  bool fInstalled = false;
};

}  // namespace lumbra::platform
