#pragma once
// One shared view of the USB HID devices for the whole process: the list of
// present devices, lending them out, their arrivals and removals, and the
// input reports of lent devices, forwarded to every registered listener.
//
// Everything here runs on the UI thread, and nothing on it waits for a
// device: an opened device has a writing thread and, while lent, a reading
// thread of its own. Reports are handed over to the UI thread (through the
// controller's window) before any listener sees them, and a report of a
// device that has meanwhile been returned, unplugged or freed is dropped.
// Returning a device only tells its threads to stop; they close it when they
// have, which takes at most one read wait, or as long as a stalled write.
// Listeners must not register or unregister from inside a forwarded event.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/Component.h"
#include "platform/Hid.h"
#include "platform/MessageLoop.h"

namespace lumbra {

class TGlobalHidController;

// A device of the controller's list. It belongs to the controller: it is
// freed when it leaves, or, when it is lent out then, when it is returned.
class THidDevice {
 public:
  std::uint32_t Instance() const { return fInfo.instance; }
  const platform::HidDeviceInfo& Info() const { return fInfo; }
  const std::string& ProductName() const { return fInfo.product; }
  bool IsPluggedIn() const { return fPluggedIn; }
  bool IsCheckedOut() const { return fCheckedOut; }
  // Its reads have failed since it was lent (it is gone, or going).
  bool ReadFailing() const { return fReadFailing; }
  // Hands one whole output report (report ID first) to the device's writing
  // thread, opening the device first when needed. False when the device is
  // gone or cannot be opened, or when reports handed before still wait for
  // it: a stalled device holds up nobody. A write that fails later shows in
  // LastError.
  bool WriteReport(const std::uint8_t* data, int size);
  std::string LastError() const;
  // A report handed to the writing thread is still waiting or being written.
  bool Writing() const;

  struct Link;

 private:
  friend class TGlobalHidController;
  explicit THidDevice(platform::HidDeviceInfo info) : fInfo(std::move(info)) {}
  bool OpenDevice();
  void StartReading(TGlobalHidController& owner);
  void CloseDevice();

  platform::HidDeviceInfo fInfo;
  bool fPluggedIn = true;
  bool fCheckedOut = false;
  bool fReadFailing = false;
  std::uint64_t fLending = 0;  // names the current lending in handed-over reports
  std::shared_ptr<Link> fLink;  // while open
  std::string fError;
};

class TCustomHidNotifyObject : public TObject {
 public:
  TCustomHidNotifyObject() = default;
  ~TCustomHidNotifyObject() override;

  virtual void HidEnumerate(THidDevice* HidDev, int Idx);
  virtual void HidArrival(THidDevice* HidDev);
  virtual void HidDeviceChange();
  virtual void HidDeviceData(THidDevice* HidDev, std::uint8_t ReportID, const std::uint8_t* Data,
                             std::uint16_t Size);
  virtual void HidUnplug(THidDevice* HidDev);
  virtual void HidRemoval(THidDevice* HidDev);
  virtual void EnumerateDevice();

  void HidDataError(THidDevice* HidDev, const std::string& Error);
  bool StartHidNotification();
  bool StopHidNotification();
  void FireDeviceChange();
  static TGlobalHidController& SharedController();
};

class TGlobalHidController {
 public:
  // Message the reading threads post to the controller's window.
  static constexpr std::uint32_t WM_HID_REPORTS = platform::WM_USER + 260;
  static constexpr std::uint32_t WM_HID_RELIST = platform::WM_USER + 261;
  // Longest wait of a reading thread for one report, and so the longest a
  // returned device stays open.
  static constexpr int kReadWaitMs = 100;

  TGlobalHidController();
  ~TGlobalHidController();
  TGlobalHidController(const TGlobalHidController&) = delete;
  TGlobalHidController& operator=(const TGlobalHidController&) = delete;

  // The process-wide controller, or null when there is none.
  static TGlobalHidController* Existing();
  // Frees the process-wide controller if there is one (end of program).
  static void FreeShared();

  void AddNotification(TCustomHidNotifyObject* Obj);
  void RemoveNotification(TCustomHidNotifyObject* Obj);
  const std::vector<TCustomHidNotifyObject*>& NotifyObjects() const { return fNotifyObjects; }
  void FireDeviceChange();

  // Offers each plugged-in device with its index to the enumeration handler;
  // the count of devices offered.
  int Enumerate();
  // Lends the device at Idx: false when out of range, unplugged or lent.
  bool CheckOutByIndex(THidDevice*& HidDev, int Idx);
  // Returns a lent device (HidDev becomes null); an unplugged one is freed.
  void CheckIn(THidDevice*& HidDev);
  // Lists the devices again now, with arrivals, unplugs, removals and a
  // device change when anything changed.
  void DeviceChange();
  // Lists them again once the messages queued now are handled: the device
  // change that every window hears is listed once, however many ask.
  void RequestDeviceChange();
  int Count() const { return static_cast<int>(fList.size()); }
  THidDevice* Device(int Idx) const { return fList.at(static_cast<size_t>(Idx)).get(); }

  // Input reports handed over and forwarded, and those dropped because their
  // device was no longer lent when the UI thread came to them.
  std::uint64_t ReportsForwarded() const { return fForwarded; }
  std::uint64_t ReportsDropped() const { return fDropped; }

  // Used by the enumeration: the listener that asked, when set.
  TCustomHidNotifyObject* fEnumeraterequestor = nullptr;

 private:
  friend class THidDevice;
  struct Report {
    std::uint64_t lending;
    bool failed;
    std::vector<std::uint8_t> bytes;  // report ID first
    std::string error;
  };
  // Shared with the reading threads, which may outlive the controller.
  struct Inbox {
    void Hand(Report report);
    std::mutex mutex;
    std::deque<Report> reports;
    bool wakePosted = false;
    bool closed = false;  // the controller is gone
    platform::HWND window = 0;
  };

  void WndProc(platform::TMessage& Msg);
  void Relist(bool announce);
  void TakeReports();
  template <class Fn>
  void ForEachListener(Fn&& fn);

  std::vector<TCustomHidNotifyObject*> fNotifyObjects;
  std::vector<std::unique_ptr<THidDevice>> fList;
  std::shared_ptr<Inbox> fInbox = std::make_shared<Inbox>();
  platform::HWND fWindow = 0;
  std::uint64_t fNextLending = 1;
  std::uint64_t fForwarded = 0;
  std::uint64_t fDropped = 0;
  bool fListing = false;
  bool fAnnouncePending = false;
  bool fRelistAgain = false;
  bool fRelistPosted = false;
};

}  // namespace lumbra
