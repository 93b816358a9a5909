#include "platform/fake/FakeHid.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/MessageLoop.h"

namespace lumbra::platform {
namespace {

class OpenedDevice final : public BasicHidDevice {
 public:
  // Under the backend's lock. Each handle gets every report fed while it is
  // open, as each opener of a HID device does; the first one also what was
  // fed before.
  explicit OpenedDevice(std::shared_ptr<FakeHidDevice> device) : fDevice(std::move(device)) {
    fId = ++fDevice->lastHandle;
    fDevice->queues[fId] = std::move(fDevice->input);
    fDevice->input.clear();
  }
  ~OpenedDevice() override {
    std::lock_guard lock(fDevice->backend->mutex);
    fDevice->queues.erase(fId);
    --fDevice->openHandles;
    fDevice->backend->changed.notify_all();
  }

  int Read(std::uint8_t* buf, int size, int timeoutMs) override {
    FakeHidBackend& b = *fDevice->backend;
    std::unique_lock lock(b.mutex);
    ++fDevice->readers;
    b.changed.notify_all();
    auto& input = fDevice->queues[fId];
    const bool got = b.changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      return !fDevice->present || fDevice->readFails || !input.empty();
    });
    --fDevice->readers;
    if (!fDevice->present || fDevice->readFails) return Fail("device is gone");
    if (!got) return 0;
    FakeHidDevice::Report r = std::move(input.front());
    input.pop_front();
    b.changed.notify_all();
    const int n = std::min(size, static_cast<int>(r.size()));
    if (n > 0) std::memcpy(buf, r.data(), static_cast<size_t>(n));
    return n;
  }

  bool Write(const std::uint8_t* data, int size) override {
    FakeHidDevice::Report r(data, data + size);
    std::function<void(const FakeHidDevice::Report&)> answer;
    {
      std::unique_lock lock(fDevice->backend->mutex);
      if (fDevice->writesStall) {
        ++fDevice->stalledWrites;
        fDevice->backend->changed.notify_all();
        fDevice->backend->changed.wait_for(
            lock, std::chrono::milliseconds(FakeHidDevice::kStallMs),
            [&] { return !fDevice->writesStall || !fDevice->present; });
        --fDevice->stalledWrites;
      }
      if (!fDevice->present || fDevice->writeFails) {
        Fail("write refused");
        return false;
      }
      fDevice->written.push_back(r);
      answer = fDevice->onWrite;
    }
    if (answer) answer(r);
    return true;
  }

 private:
  std::shared_ptr<FakeHidDevice> fDevice;
  int fId = 0;
};

class FakeClaimTable final : public IClaimTable {
 public:
  FakeClaimTable(FakeClaimTables& tables, std::string name, int copy)
      : fTables(tables), fName(std::move(name)), fCopy(copy) {}
  // A copy that ends, however it ends, lets go of what it held.
  ~FakeClaimTable() override { fTables.alive[fCopy] = false; }

  std::uint32_t* Map() override {
    if (fTables.mapFails) return nullptr;
    return fTables.tables[fName].slots.data();
  }
  void Unmap() override {}
  bool Hold(std::uint32_t key) override {
    int& holder = Holders()[key];
    if (holder != 0 && holder != fCopy && fTables.alive[holder]) return false;
    holder = fCopy;
    return true;
  }
  void Release(std::uint32_t key) override {
    auto it = Holders().find(key);
    if (it != Holders().end() && it->second == fCopy) Holders().erase(it);
  }
  bool Held(std::uint32_t key) override {
    auto it = Holders().find(key);
    return it != Holders().end() && fTables.alive[it->second];
  }

 private:
  std::map<std::uint32_t, int>& Holders() { return fTables.tables[fName].holders; }
  FakeClaimTables& fTables;
  std::string fName;
  int fCopy;
};

}  // namespace

// ------------------------------------------------------------- FakeHidDevice

void FakeHidDevice::Feed(const Report& report) {
  std::lock_guard lock(backend->mutex);
  if (queues.empty()) input.push_back(report);
  for (auto& [id, q] : queues) q.push_back(report);
  backend->changed.notify_all();
}

void FakeHidDevice::SetWritesStall(bool stall) {
  std::lock_guard lock(backend->mutex);
  writesStall = stall;
  backend->changed.notify_all();
}

void FakeHidDevice::SetReadFails(bool fails) {
  std::lock_guard lock(backend->mutex);
  readFails = fails;
  backend->changed.notify_all();
}

std::vector<FakeHidDevice::Report> FakeHidDevice::Written() const {
  std::lock_guard lock(backend->mutex);
  return written;
}

void FakeHidDevice::ClearWritten() {
  std::lock_guard lock(backend->mutex);
  written.clear();
}

bool FakeHidDevice::IsOpen() const {
  std::lock_guard lock(backend->mutex);
  return openHandles > 0;
}

int FakeHidDevice::OpenCount() const {
  std::lock_guard lock(backend->mutex);
  return opens;
}

size_t FakeHidDevice::Unread() const {
  std::lock_guard lock(backend->mutex);
  size_t n = input.size();
  for (const auto& [id, q] : queues) n += q.size();
  return n;
}

bool FakeHidDevice::HasReader() const {
  std::lock_guard lock(backend->mutex);
  return readers > 0;
}

// ------------------------------------------------------------ FakeHidBackend

void FakeHidBackend::Install() {
  SetHidBackend(this);
  fInstalled = true;
}

FakeHidBackend::~FakeHidBackend() {
  {
    std::unique_lock lock(mutex);
    for (const auto& d : fDevices) d->writesStall = false;
    changed.notify_all();
    changed.wait_for(lock, std::chrono::seconds(5), [&] {
      return std::all_of(fDevices.begin(), fDevices.end(),
                         [](const auto& d) { return d->openHandles == 0; });
    });
  }
  if (fInstalled && &HidBackend() == this) SetHidBackend(nullptr);
}

std::shared_ptr<FakeHidDevice> FakeHidBackend::AddDevice(HidDeviceInfo info, bool present) {
  auto d = std::make_shared<FakeHidDevice>();
  d->info = std::move(info);
  if (d->info.path.empty()) d->info.path = "fake-hid-" + std::to_string(d->info.instance);
  d->backend = this;
  d->present = present;
  std::lock_guard lock(mutex);
  fDevices.push_back(d);
  return d;
}

void FakeHidBackend::SetPresent(const std::shared_ptr<FakeHidDevice>& device, bool present) {
  bool watched;
  {
    std::lock_guard lock(mutex);
    device->present = present;
    if (!present) {
      device->input.clear();
      for (auto& [id, q] : device->queues) q.clear();
    }
    changed.notify_all();
    watched = fWatchers > 0;
  }
  if (watched) MessageLoop().BroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
}

void FakeHidBackend::Plug(const std::shared_ptr<FakeHidDevice>& device) {
  SetPresent(device, true);
}

void FakeHidBackend::Unplug(const std::shared_ptr<FakeHidDevice>& device) {
  SetPresent(device, false);
}

int FakeHidBackend::Watchers() const {
  std::lock_guard lock(mutex);
  return fWatchers;
}

int FakeHidBackend::EnumerateCount() const {
  std::lock_guard lock(mutex);
  return fEnumerations;
}

std::vector<HidDeviceInfo> FakeHidBackend::Enumerate() {
  std::lock_guard lock(mutex);
  ++fEnumerations;
  std::vector<HidDeviceInfo> out;
  // A device that cannot be opened is not listed, as the real backends do.
  for (const auto& d : fDevices)
    if (d->present && (d->openError.empty() || d->readOnly)) out.push_back(d->info);
  return out;
}

std::unique_ptr<IHidDevice> FakeHidBackend::Open(const HidDeviceInfo& info, std::string& error) {
  std::lock_guard lock(mutex);
  for (const auto& d : fDevices) {
    if (d->info.instance != info.instance || !d->present) continue;
    if (!d->openError.empty()) {
      error = d->openError;
      return nullptr;
    }
    ++d->opens;
    ++d->openHandles;
    return std::make_unique<OpenedDevice>(d);
  }
  error = "no such device";
  return nullptr;
}

void FakeHidBackend::Watch() {
  std::lock_guard lock(mutex);
  ++fWatchers;
}

void FakeHidBackend::Unwatch() {
  std::lock_guard lock(mutex);
  --fWatchers;
}

// ----------------------------------------------------------- FakeClaimTables

void FakeClaimTables::Install() {
  SetClaimTableBackend(this);
  fInstalled = true;
}

FakeClaimTables::~FakeClaimTables() {
  if (fInstalled && &ClaimTables() == this) SetClaimTableBackend(nullptr);
}

FakeClaimTables::Table& FakeClaimTables::TableOf(const std::string& name, std::size_t size) {
  Table& t = tables[name];
  if (t.slots.empty()) t.slots.assign(size / sizeof(std::uint32_t), 0);
  return t;
}

std::unique_ptr<IClaimTable> FakeClaimTables::Open(const std::string& name, std::size_t size) {
  if (openFails) return nullptr;
  TableOf(name, size);
  const int copy = nextCopy++;
  alive[copy] = true;
  return std::make_unique<FakeClaimTable>(*this, name, copy);
}

std::vector<std::uint32_t> FakeClaimTables::Slots(const std::string& name) const {
  auto it = tables.find(name);
  return it == tables.end() ? std::vector<std::uint32_t>{} : it->second.slots;
}

void FakeClaimTables::SetAbandoned(const std::string& name, int slot, std::uint32_t value) {
  const int copy = nextCopy++;
  alive[copy] = false;
  Table& t = TableOf(name, 80);
  t.slots.at(static_cast<size_t>(slot)) = value;
  t.holders[value] = copy;
}

void FakeClaimTables::SetClaimedByOther(const std::string& name, int slot, std::uint32_t value) {
  const int copy = nextCopy++;
  alive[copy] = true;
  Table& t = TableOf(name, 80);
  if (slot >= 0) t.slots.at(static_cast<size_t>(slot)) = value;
  t.holders[value] = copy;
}

}  // namespace lumbra::platform
