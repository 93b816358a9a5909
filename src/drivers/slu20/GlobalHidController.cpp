#include "drivers/slu20/GlobalHidController.h"

#include <algorithm>
#include <chrono>

namespace lumbra {
namespace {

TGlobalHidController* gController = nullptr;

// A device that floods its reader while the UI thread is busy must not eat
// the memory: past this many waiting reports new ones are dropped.
constexpr size_t kMaxWaitingReports = 4096;
// Reports that wait for a device still busy with one; a stalled device
// refuses more.
constexpr size_t kMaxWaitingWrites = 64;
// Input report length of a device that does not tell it.
constexpr int kDefaultReportLength = 65;

}  // namespace

// ----------------------------------------------------------------- THidDevice

// What the UI thread and a device's threads share; the last of them to let
// go closes the device.
struct THidDevice::Link {
  std::unique_ptr<platform::IHidDevice> device;
  std::mutex mutex;  // everything below
  std::condition_variable wake;
  bool stop = false;
  std::deque<std::vector<std::uint8_t>> pending;
  bool writing = false;
  std::string writeError;  // of the last write that failed
};

namespace {

void RunWriter(const std::shared_ptr<THidDevice::Link>& link) {
  std::unique_lock lock(link->mutex);
  for (;;) {
    link->wake.wait(lock, [&] { return link->stop || !link->pending.empty(); });
    if (link->stop) return;
    const std::vector<std::uint8_t> report = std::move(link->pending.front());
    link->pending.pop_front();
    link->writing = true;
    lock.unlock();
    const bool sent = link->device->Write(report.data(), static_cast<int>(report.size()));
    const std::string why = sent ? std::string() : link->device->LastError();
    lock.lock();
    link->writing = false;
    if (!sent) link->writeError = why;
  }
}

}  // namespace

bool THidDevice::OpenDevice() {
  if (fLink) return true;
  std::string error;
  std::unique_ptr<platform::IHidDevice> device = platform::HidBackend().Open(fInfo, error);
  if (!device) {
    fError = error;
    return false;
  }
  fLink = std::make_shared<Link>();
  fLink->device = std::move(device);
  std::thread([link = fLink] { RunWriter(link); }).detach();
  return true;
}

bool THidDevice::WriteReport(const std::uint8_t* data, int size) {
  if (!fPluggedIn || size < 1 || !OpenDevice()) return false;
  std::lock_guard lock(fLink->mutex);
  if (fLink->pending.size() >= kMaxWaitingWrites) {
    fLink->writeError = "the device takes no more reports";
    return false;
  }
  fLink->pending.emplace_back(data, data + size);
  fLink->wake.notify_all();
  return true;
}

std::string THidDevice::LastError() const {
  if (fLink) {
    std::lock_guard lock(fLink->mutex);
    if (!fLink->writeError.empty()) return fLink->writeError;
  }
  return fError;
}

bool THidDevice::Writing() const {
  if (!fLink) return false;
  std::lock_guard lock(fLink->mutex);
  return !fLink->pending.empty() || fLink->writing;
}

void THidDevice::StartReading(TGlobalHidController& owner) {
  fReadFailing = false;
  const std::uint64_t lending = fLending;
  const int length = fInfo.inputReportLength > 0 ? fInfo.inputReportLength : kDefaultReportLength;
  std::thread([link = fLink, inbox = owner.fInbox, lending, length] {
    auto stopped = [&] {
      std::lock_guard lock(link->mutex);
      return link->stop;
    };
    std::vector<std::uint8_t> buf(static_cast<size_t>(length));
    while (!stopped()) {
      const int n = link->device->Read(buf.data(), length, TGlobalHidController::kReadWaitMs);
      if (stopped()) break;
      if (n > 0) {
        inbox->Hand({lending, false, std::vector<std::uint8_t>(buf.begin(), buf.begin() + n), {}});
      } else if (n < 0) {
        inbox->Hand({lending, true, {}, "read failed"});
        // A device that keeps failing is not asked again at once.
        std::unique_lock lock(link->mutex);
        link->wake.wait_for(lock, std::chrono::milliseconds(TGlobalHidController::kReadWaitMs),
                            [&] { return link->stop; });
      }
    }
  }).detach();
}

void THidDevice::CloseDevice() {
  if (!fLink) return;
  {
    std::lock_guard lock(fLink->mutex);
    fLink->stop = true;
  }
  fLink->wake.notify_all();
  fLink.reset();
}

// ---------------------------------------------------- TCustomHidNotifyObject

TCustomHidNotifyObject::~TCustomHidNotifyObject() {
  StopHidNotification();
}

void TCustomHidNotifyObject::HidEnumerate(THidDevice*, int) {}
void TCustomHidNotifyObject::HidArrival(THidDevice*) {}
void TCustomHidNotifyObject::HidDeviceChange() {}
void TCustomHidNotifyObject::HidDeviceData(THidDevice*, std::uint8_t, const std::uint8_t*,
                                           std::uint16_t) {}
void TCustomHidNotifyObject::HidUnplug(THidDevice*) {}
void TCustomHidNotifyObject::HidRemoval(THidDevice*) {}
void TCustomHidNotifyObject::HidDataError(THidDevice*, const std::string&) {}

TGlobalHidController& TCustomHidNotifyObject::SharedController() {
  if (gController == nullptr) gController = new TGlobalHidController;
  return *gController;
}

bool TCustomHidNotifyObject::StartHidNotification() {
  SharedController().AddNotification(this);
  return true;
}

bool TCustomHidNotifyObject::StopHidNotification() {
  if (gController == nullptr) return true;
  gController->RemoveNotification(this);
  if (gController->NotifyObjects().empty()) TGlobalHidController::FreeShared();
  return true;
}

void TCustomHidNotifyObject::EnumerateDevice() {
  TGlobalHidController& c = SharedController();
  c.fEnumeraterequestor = this;
  struct Clear {
    TGlobalHidController& c;
    ~Clear() { c.fEnumeraterequestor = nullptr; }
  } clear{c};
  c.Enumerate();
}

void TCustomHidNotifyObject::FireDeviceChange() {
  SharedController().FireDeviceChange();
}

// ------------------------------------------------------- TGlobalHidController

TGlobalHidController::TGlobalHidController() {
  fWindow = platform::MessageLoop().CreateMessageWindow(
      [this](platform::TMessage& Msg) { WndProc(Msg); });
  fInbox->window = fWindow;
  platform::HidBackend().Watch();
  // One more listing once the loop runs, which always announces a change.
  fAnnouncePending = platform::MessageLoop().PostMessage(fWindow, platform::WM_DEVICECHANGE,
                                                         platform::DBT_DEVNODES_CHANGED, 0);
  Relist(false);
}

TGlobalHidController::~TGlobalHidController() {
  for (auto& d : fList) d->CloseDevice();
  {
    std::lock_guard lock(fInbox->mutex);
    fInbox->closed = true;
  }
  platform::HidBackend().Unwatch();
  platform::MessageLoop().DestroyMessageWindow(fWindow);
  if (gController == this) gController = nullptr;
}

TGlobalHidController* TGlobalHidController::Existing() {
  return gController;
}

void TGlobalHidController::FreeShared() {
  TGlobalHidController* c = gController;
  gController = nullptr;
  delete c;
}

void TGlobalHidController::AddNotification(TCustomHidNotifyObject* Obj) {
  if (std::find(fNotifyObjects.begin(), fNotifyObjects.end(), Obj) == fNotifyObjects.end())
    fNotifyObjects.push_back(Obj);
}

void TGlobalHidController::RemoveNotification(TCustomHidNotifyObject* Obj) {
  std::erase(fNotifyObjects, Obj);
}

template <class Fn>
void TGlobalHidController::ForEachListener(Fn&& fn) {
  // A listener that left meanwhile is skipped.
  const auto listeners = fNotifyObjects;
  for (TCustomHidNotifyObject* o : listeners)
    if (std::find(fNotifyObjects.begin(), fNotifyObjects.end(), o) != fNotifyObjects.end()) fn(o);
}

void TGlobalHidController::FireDeviceChange() {
  ForEachListener([](TCustomHidNotifyObject* o) { o->HidDeviceChange(); });
}

int TGlobalHidController::Enumerate() {
  int offered = 0;
  for (size_t i = 0; i < fList.size(); ++i) {
    THidDevice* d = fList[i].get();
    if (!d->fPluggedIn) continue;
    ++offered;
    const int idx = static_cast<int>(i);
    if (fEnumeraterequestor != nullptr)
      fEnumeraterequestor->HidEnumerate(d, idx);
    else
      ForEachListener([&](TCustomHidNotifyObject* o) { o->HidEnumerate(d, idx); });
  }
  return offered;
}

bool TGlobalHidController::CheckOutByIndex(THidDevice*& HidDev, int Idx) {
  if (Idx < 0 || Idx >= Count()) return false;
  THidDevice* d = fList[static_cast<size_t>(Idx)].get();
  if (d->fCheckedOut || !d->fPluggedIn) return false;
  // A device that cannot be opened is of no use to its borrower.
  if (!d->OpenDevice()) return false;
  d->fCheckedOut = true;
  d->fLending = fNextLending++;
  d->StartReading(*this);
  HidDev = d;
  return true;
}

void TGlobalHidController::CheckIn(THidDevice*& HidDev) {
  THidDevice* d = HidDev;
  HidDev = nullptr;
  auto it = std::find_if(fList.begin(), fList.end(), [d](const auto& p) { return p.get() == d; });
  if (d == nullptr || it == fList.end() || !d->fCheckedOut) return;
  d->CloseDevice();
  d->fCheckedOut = false;
  if (!d->fPluggedIn) fList.erase(it);
}

void TGlobalHidController::DeviceChange() {
  Relist(false);
}

void TGlobalHidController::RequestDeviceChange() {
  if (fRelistPosted) return;
  fRelistPosted = platform::MessageLoop().PostMessage(fWindow, WM_HID_RELIST, 0, 0);
  if (!fRelistPosted) Relist(false);
}

void TGlobalHidController::Relist(bool announce) {
  // A listing asked for from inside an event of this one runs after it.
  if (fListing) {
    fRelistAgain = true;
    return;
  }
  fListing = true;
  struct Clear {
    bool& flag;
    ~Clear() { flag = false; }
  } clear{fListing};
  do {
    fRelistAgain = false;
    const std::vector<platform::HidDeviceInfo> fresh = platform::HidBackend().Enumerate();
    auto present = [&fresh](std::uint32_t instance) {
      return std::any_of(fresh.begin(), fresh.end(),
                         [instance](const auto& i) { return i.instance == instance; });
    };
    bool changed = false;
    for (;;) {
      // A device whose reads fail is gone even when its number is listed: a
      // reader pulled and put back between two listings may come back under
      // the number it had, and only a fresh device object reads it again.
      auto gone = std::find_if(fList.begin(), fList.end(), [&](const auto& d) {
        return d->fPluggedIn && (!present(d->Instance()) || d->fReadFailing);
      });
      if (gone == fList.end()) break;
      changed = true;
      THidDevice* d = gone->get();
      d->CloseDevice();
      d->fPluggedIn = false;
      ForEachListener([d](TCustomHidNotifyObject* o) { o->HidUnplug(d); });
      ForEachListener([d](TCustomHidNotifyObject* o) { o->HidRemoval(d); });
      // A lent device stays until its borrower returns it.
      auto it =
          std::find_if(fList.begin(), fList.end(), [d](const auto& p) { return p.get() == d; });
      if (it != fList.end() && !d->fCheckedOut) fList.erase(it);
    }
    for (const platform::HidDeviceInfo& info : fresh) {
      const bool known = std::any_of(fList.begin(), fList.end(), [&](const auto& d) {
        return d->fPluggedIn && d->Instance() == info.instance;
      });
      if (known || info.instance == 0) continue;
      changed = true;
      fList.push_back(std::unique_ptr<THidDevice>(new THidDevice(info)));
      THidDevice* d = fList.back().get();
      ForEachListener([d](TCustomHidNotifyObject* o) { o->HidArrival(d); });
    }
    if (changed || announce) FireDeviceChange();
    announce = false;
  } while (fRelistAgain);
}

void TGlobalHidController::WndProc(platform::TMessage& Msg) {
  if (Msg.Msg == platform::WM_DEVICECHANGE && Msg.WParam == platform::DBT_DEVNODES_CHANGED) {
    RequestDeviceChange();
  } else if (Msg.Msg == WM_HID_RELIST) {
    fRelistPosted = false;
    const bool announce = fAnnouncePending;
    fAnnouncePending = false;
    Relist(announce);
  } else if (Msg.Msg == WM_HID_REPORTS) {
    TakeReports();
  }
}

void TGlobalHidController::Inbox::Hand(Report report) {
  std::lock_guard lock(mutex);
  if (closed || reports.size() >= kMaxWaitingReports) return;
  reports.push_back(std::move(report));
  if (!wakePosted) wakePosted = platform::MessageLoop().PostMessage(window, WM_HID_REPORTS, 0, 0);
}

void TGlobalHidController::TakeReports() {
  std::deque<Report> batch;
  {
    std::lock_guard lock(fInbox->mutex);
    batch.swap(fInbox->reports);
    fInbox->wakePosted = false;
  }
  for (const Report& r : batch) {
    // Looked up again for each report: a listener may return a device while
    // handling the one before.
    auto it = std::find_if(fList.begin(), fList.end(), [&r](const auto& d) {
      return d->fCheckedOut && d->fPluggedIn && d->fLending == r.lending;
    });
    if (it == fList.end()) {
      ++fDropped;
      continue;
    }
    THidDevice* d = it->get();
    if (r.failed) {
      d->fReadFailing = true;
      ForEachListener([&](TCustomHidNotifyObject* o) { o->HidDataError(d, r.error); });
      continue;
    }
    ++fForwarded;
    const auto size = static_cast<std::uint16_t>(std::min<size_t>(r.bytes.size() - 1, 0xFFFF));
    ForEachListener([&](TCustomHidNotifyObject* o) {
      o->HidDeviceData(d, r.bytes[0], r.bytes.data() + 1, size);
    });
  }
}

}  // namespace lumbra
