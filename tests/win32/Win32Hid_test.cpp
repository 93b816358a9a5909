// The HID backend under Wine: the listing and its numbers, opening what is
// no device, the system's notices turned into device-change broadcasts, reads
// and writes on a named pipe standing in for a device's handle, and Wine's
// own HID mouse and keyboard (quiet devices without output reports), where
// the prefix has them, read directly and lent out by the HID controller.
#include "platform/win32/Win32Hid.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "drivers/slu20/GlobalHidController.h"
#include "platform/DeviceChange.h"
#include "platform/win32/Win32MessageLoop.h"
#include "platform/win32/Win32Text.h"
// After the loop's header, whose PostMessage the Win32 macro would rename.
#include <windows.h>
#undef PostMessage

#include <dbt.h>
extern "C" {
#include <hidsdi.h>
}

namespace lumbra::platform::win32 {
namespace {

using Bytes = std::vector<std::uint8_t>;

// What the system sends a window registered for the notices of a class.
DEV_BROADCAST_DEVICEINTERFACE_W InterfaceRecord(const GUID& guid) {
  DEV_BROADCAST_DEVICEINTERFACE_W r{};
  r.dbcc_size = sizeof(r);
  r.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  r.dbcc_classguid = guid;
  return r;
}

TEST(Win32HidInstances, OnePathOneIdentifierWhateverItsCase) {
  HidInstanceTable table;
  const std::string a =
      R"(\\?\hid#vid_1234&pid_5678#7&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})";
  const std::string b =
      R"(\\?\hid#vid_1234&pid_5678#7&1a2b3c&0&0001#{4d1e55b2-f16f-11cf-88cb-001111000030})";
  const auto ids = table.Assign({a, b, HidInstanceTable::KeyOf(a)});
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_NE(ids[0], 0u);
  EXPECT_NE(ids[0], ids[1]);
  EXPECT_EQ(ids[0], ids[2]);
  // Another copy of the program sees the same devices under the same numbers.
  HidInstanceTable other;
  EXPECT_EQ(other.Assign({HidInstanceTable::KeyOf(b), a}),
            (std::vector<std::uint32_t>{ids[1], ids[0]}));
}

TEST(Win32HidInstances, ClashingPathsStayApartAndKeepTheirNumbersWhilePresent) {
  // Every path hashes to 0: each must still get a number of its own, never 0.
  HidInstanceTable table([](const std::string&) { return 0u; });
  EXPECT_EQ(table.Assign({"c", "a", "b"}), (std::vector<std::uint32_t>{3, 1, 2}));
  // a and b leave: c keeps its number, d takes a free one.
  EXPECT_EQ(table.Assign({"c", "d"}), (std::vector<std::uint32_t>{3, 1}));
  // b comes back after d took its old place: it gets another.
  EXPECT_EQ(table.Assign({"b", "c", "d"}), (std::vector<std::uint32_t>{2, 3, 1}));
  // A hash at the end of the range goes on at 1, past 0.
  HidInstanceTable top([](const std::string&) { return 0xFFFFFFFFu; });
  EXPECT_EQ(top.Assign({"x", "y"}), (std::vector<std::uint32_t>{0xFFFFFFFFu, 1}));
}

TEST(Win32HidBackend, ListsThePresentDevicesWithStableNumbers) {
  Win32HidBackend backend;
  const auto first = backend.Enumerate();
  EXPECT_EQ(backend.ListingError(), "");
  std::set<std::uint32_t> numbers;
  for (const HidDeviceInfo& d : first) {
    EXPECT_NE(d.instance, 0u) << d.path;
    EXPECT_TRUE(numbers.insert(d.instance).second) << d.path;
    EXPECT_FALSE(d.path.empty());
    std::printf("listed %04X:%04X \"%s\" input %u, %s\n", d.vendorId, d.productId,
                d.product.c_str(), d.inputReportLength, d.path.c_str());
  }
  const auto again = backend.Enumerate();
  ASSERT_EQ(again.size(), first.size());
  for (std::size_t i = 0; i < first.size(); ++i) {
    EXPECT_EQ(again[i].path, first[i].path);
    EXPECT_EQ(again[i].instance, first[i].instance);
  }
}

TEST(Win32HidBackend, OpeningWhatIsNoHidDeviceFailsWithTheReason) {
  wchar_t folder[MAX_PATH], file[MAX_PATH];
  ASSERT_NE(GetTempPathW(MAX_PATH, folder), 0u);
  ASSERT_NE(GetTempFileNameW(folder, L"hid", 0, file), 0u);
  const std::string plainFile = Utf8(file);
  const std::string missing =
      R"(\\?\hid#vid_0000&pid_0000#0&0&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030})";
  const struct {
    std::string path;
    std::string reason;  // what the error must say besides the path
  } cases[] = {
      {missing, ""},
      {plainFile, "not a HID device"},
      {"", "no device path"},
  };
  Win32HidBackend backend;
  for (const auto& c : cases) {
    HidDeviceInfo info;
    info.instance = 1;
    info.path = c.path;
    std::string error;
    EXPECT_EQ(backend.Open(info, error), nullptr) << c.path;
    EXPECT_NE(error.find(c.path), std::string::npos) << error;
    EXPECT_GT(error.size(), c.path.size() + 2) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
  DeleteFileW(file);
}

// Devices that reach this backend through the system, where there are any.
class Win32HidSystemDevices : public ::testing::Test {
 protected:
  void SetUp() override {
    devices = backend.Enumerate();
    if (devices.empty()) GTEST_SKIP() << "no HID device listed";
  }

  Win32HidBackend backend;
  std::vector<HidDeviceInfo> devices;
};

TEST_F(Win32HidSystemDevices, EachOpensAndAQuietReadEndsAtItsTimeWithoutError) {
  for (const HidDeviceInfo& d : devices) {
    std::string error;
    auto device = backend.Open(d, error);
    ASSERT_NE(device, nullptr) << d.path << ": " << error;
    ASSERT_GT(d.inputReportLength, 0) << d.path;
    Bytes buf(d.inputReportLength);
    for (int i = 0; i < 2; ++i)
      EXPECT_EQ(device->Read(buf.data(), d.inputReportLength, 50), 0)
          << d.path << ": " << device->LastError();
    const Bytes request{0x00, 0x30, 0x30};
    // A refused report (a device without output reports) says why.
    if (!device->Write(request.data(), static_cast<int>(request.size()))) {
      EXPECT_NE(device->LastError(), "") << d.path;
    }
  }
}

struct CountingListener final : TCustomHidNotifyObject {
  void HidEnumerate(THidDevice* d, int) override { offered.push_back(d); }
  void HidDeviceChange() override { ++changes; }
  std::vector<THidDevice*> offered;
  int changes = 0;
};

TEST_F(Win32HidSystemDevices, TheControllerListsLendsAndTakesBackADevice) {
  Win32MessageLoop loop;
  SetMessageLoop(&loop);
  SetHidBackend(&backend);
  {
    CountingListener listener;
    listener.StartHidNotification();
    ASSERT_TRUE(backend.Registered());
    listener.EnumerateDevice();
    EXPECT_EQ(listener.offered.size(), devices.size());
    loop.ProcessMessages();  // the controller's first re-listing announces
    EXPECT_EQ(listener.changes, 1);

    TGlobalHidController& controller = *TGlobalHidController::Existing();
    THidDevice* lent = nullptr;
    ASSERT_TRUE(controller.CheckOutByIndex(lent, 0)) << controller.Device(0)->LastError();
    // Its reading thread waits on the device, a few reads long.
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    // A notice that changes nothing (the system's own broadcast may come
    // with it) lists the devices again without a change.
    GUID hid;
    HidD_GetHidGuid(&hid);
    const auto record = InterfaceRecord(hid);
    SendMessageW(reinterpret_cast<::HWND>(backend.NoticeWindow()), WM_DEVICECHANGE,
                 DBT_DEVICEARRIVAL, reinterpret_cast<::LPARAM>(&record));
    loop.BroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
    loop.ProcessMessages();
    EXPECT_EQ(listener.changes, 1);
    EXPECT_TRUE(lent->IsPluggedIn());
    EXPECT_FALSE(lent->ReadFailing()) << lent->LastError();
    EXPECT_EQ(controller.ReportsForwarded(), 0u);
    controller.CheckIn(lent);
    EXPECT_EQ(lent, nullptr);
  }
  EXPECT_EQ(TGlobalHidController::Existing(), nullptr);
  EXPECT_EQ(backend.NoticeWindow(), 0u);
  SetHidBackend(nullptr);
  SetMessageLoop(nullptr);
}

// ---------------------------------------------------------------- notices

class Win32HidNotices : public ::testing::Test {
 protected:
  Win32HidNotices() { SetMessageLoop(&loop); }
  ~Win32HidNotices() override {
    for (HWND w : listeners) loop.DestroyMessageWindow(w);
    SetMessageLoop(nullptr);
  }
  HWND Listener(int& count) {
    HWND w = loop.CreateMessageWindow([&count](TMessage& m) {
      if (m.Msg == WM_DEVICECHANGE && m.WParam == DBT_DEVNODES_CHANGED && m.LParam == 0) ++count;
    });
    listeners.push_back(w);
    return w;
  }
  // What the system sends the registered window, synchronously.
  static void Send(HWND window, WPARAM event, const void* record) {
    SendMessageW(reinterpret_cast<::HWND>(window), WM_DEVICECHANGE, event,
                 reinterpret_cast<::LPARAM>(record));
  }

  Win32MessageLoop loop;
  std::vector<HWND> listeners;
};

TEST_F(Win32HidNotices, InterfaceNoticesReachEveryListenerOnceAsADeviceChange) {
  Win32HidBackend backend;
  int one = 0, two = 0;
  Listener(one);
  Listener(two);
  backend.Watch();
  const HWND notices = backend.NoticeWindow();
  ASSERT_NE(notices, 0u);
  EXPECT_TRUE(backend.Registered());

  GUID hid;
  HidD_GetHidGuid(&hid);
  const auto hidRecord = InterfaceRecord(hid);
  // A device with two collections leaves and comes back before the loop turns.
  Send(notices, DBT_DEVICEREMOVECOMPLETE, &hidRecord);
  Send(notices, DBT_DEVICEREMOVECOMPLETE, &hidRecord);
  Send(notices, DBT_DEVICEARRIVAL, &hidRecord);
  loop.ProcessMessages();
  EXPECT_EQ(one, 1);
  EXPECT_EQ(two, 1);
  // The next change is announced again.
  Send(notices, DBT_DEVICEARRIVAL, &hidRecord);
  loop.ProcessMessages();
  EXPECT_EQ(one, 2);
  EXPECT_EQ(two, 2);

  // Not announced: other classes, other events, port records, and the
  // broadcasts every window gets (this backend's own among them).
  const GUID other = {0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
  const auto otherRecord = InterfaceRecord(other);
  Send(notices, DBT_DEVICEARRIVAL, &otherRecord);
  Send(notices, DBT_DEVICEQUERYREMOVE, &hidRecord);
  Send(notices, DBT_DEVNODES_CHANGED, nullptr);
  BroadcastPortRemoved("COM3");
  loop.BroadcastDeviceChange(DBT_DEVNODES_CHANGED, 0);
  loop.ProcessMessages();
  EXPECT_EQ(one, 3);
  EXPECT_EQ(two, 3);
  backend.Unwatch();
}

TEST_F(Win32HidNotices, WatchingCountsAndEndsWithTheLastUnwatch) {
  Win32HidBackend backend;
  int seen = 0;
  Listener(seen);
  GUID hid;
  HidD_GetHidGuid(&hid);
  const auto hidRecord = InterfaceRecord(hid);

  backend.Watch();
  backend.Watch();
  const HWND notices = backend.NoticeWindow();
  backend.Unwatch();
  EXPECT_EQ(backend.NoticeWindow(), notices);
  EXPECT_TRUE(backend.Registered());
  Send(notices, DBT_DEVICEARRIVAL, &hidRecord);
  loop.ProcessMessages();
  EXPECT_EQ(seen, 1);

  // An announcement still queued when watching ends is not made.
  Send(notices, DBT_DEVICEARRIVAL, &hidRecord);
  backend.Unwatch();
  EXPECT_EQ(backend.NoticeWindow(), 0u);
  EXPECT_FALSE(backend.Registered());
  EXPECT_FALSE(IsWindow(reinterpret_cast<::HWND>(notices)));
  loop.ProcessMessages();
  EXPECT_EQ(seen, 1);
  backend.Unwatch();  // one too many: nothing to end

  // Watching again starts afresh.
  backend.Watch();
  ASSERT_NE(backend.NoticeWindow(), 0u);
  Send(backend.NoticeWindow(), DBT_DEVICEARRIVAL, &hidRecord);
  loop.ProcessMessages();
  EXPECT_EQ(seen, 2);
  backend.Unwatch();
}

// ------------------------------------------- reads and writes on a handle

// A message pipe stands in for a device: one message is one report, and a
// read waits until the other end writes, as a quiet device's does. The
// client end, overlapped, is the device's handle; the server end, the
// device's side, is synchronous.
HANDLE ConnectPipe(DWORD bufferSize, HANDLE& server) {
  static std::atomic<int> serial{0};
  const std::wstring name = L"\\\\.\\pipe\\lumbra-hid-" + std::to_wstring(GetCurrentProcessId()) +
                            L"-" + std::to_wstring(++serial);
  server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, bufferSize,
                            bufferSize, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;
  HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (client != INVALID_HANDLE_VALUE && !SetNamedPipeHandleState(client, &mode, nullptr, nullptr)) {
    CloseHandle(client);
    client = INVALID_HANDLE_VALUE;
  }
  return client;
}

class Win32HidPipe : public ::testing::Test {
 protected:
  void SetUp() override {
    HANDLE client = ConnectPipe(4096, server);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    device = AdoptHidHandle(client, kInput, kOutput);
  }
  void TearDown() override {
    device.reset();
    if (server != INVALID_HANDLE_VALUE) CloseHandle(server);
  }
  void DeviceSends(const Bytes& report) {
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(server, report.data(), static_cast<DWORD>(report.size()), &n, nullptr));
  }
  Bytes HostSent() {
    Bytes buf(256);
    DWORD n = 0;
    if (!ReadFile(server, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr)) return {};
    buf.resize(n);
    return buf;
  }
  Bytes Read(int room, int timeoutMs, int& result) {
    Bytes buf(static_cast<std::size_t>(room), 0xEE);
    result = device->Read(buf.data(), room, timeoutMs);
    buf.resize(result > 0 ? static_cast<std::size_t>(result) : 0);
    return buf;
  }

  static constexpr std::uint16_t kInput = 8, kOutput = 9;
  HANDLE server = INVALID_HANDLE_VALUE;
  std::unique_ptr<IHidDevice> device;
};

TEST_F(Win32HidPipe, AReadWaitsItsTimeThenGivesUpAndTheNextOneStillReads) {
  int result = -2;
  for (int i = 0; i < 2; ++i) {
    Read(kInput, 30, result);
    EXPECT_EQ(result, 0) << device->LastError();
  }
  const Bytes report{0, 1, 2, 3, 4, 5, 6, 7};
  DeviceSends(report);
  EXPECT_EQ(Read(kInput, 1000, result), report);
  // A report that comes while the read waits ends the wait.
  std::thread late([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    DeviceSends({0, 9, 9, 9, 9, 9, 9, 9});
  });
  EXPECT_EQ(Read(kInput, 5000, result), (Bytes{0, 9, 9, 9, 9, 9, 9, 9}));
  late.join();
}

TEST_F(Win32HidPipe, ReportsAreReadWholeWhateverRoomTheCallerHas) {
  const Bytes report{2, 10, 11, 12, 13, 14, 15, 16};
  const struct {
    int room;
    Bytes expected;
  } cases[] = {
      {64, report},
      {kInput, report},
      {3, Bytes(report.begin(), report.begin() + 3)},  // cut to the room, not lost
  };
  for (const auto& c : cases) {
    DeviceSends(report);
    int result = -2;
    EXPECT_EQ(Read(c.room, 1000, result), c.expected) << c.room << ": " << device->LastError();
  }
  int result = -2;
  Read(kInput, 0, result);
  EXPECT_EQ(result, 0) << "a report was left over";
}

TEST_F(Win32HidPipe, WritesArePaddedToTheOutputReportLength) {
  const Bytes request{0x00, 0x30, 0x30};
  ASSERT_TRUE(device->Write(request.data(), static_cast<int>(request.size())))
      << device->LastError();
  EXPECT_EQ(HostSent(), (Bytes{0x00, 0x30, 0x30, 0, 0, 0, 0, 0, 0}));
  // A longer one goes as it is: the device refuses it, not this layer.
  const Bytes longer(12, 0x41);
  ASSERT_TRUE(device->Write(longer.data(), static_cast<int>(longer.size())));
  EXPECT_EQ(HostSent(), longer);
  EXPECT_FALSE(device->Write(request.data(), 0));
  EXPECT_NE(device->LastError(), "");
}

TEST(Win32HidPipeFull, AReportTheDeviceDoesNotTakeIsGivenUpAfterItsTime) {
  // Without a buffer, a write waits for the other end to read.
  HANDLE server = INVALID_HANDLE_VALUE;
  HANDLE client = ConnectPipe(0, server);
  ASSERT_NE(client, INVALID_HANDLE_VALUE);
  auto device = AdoptHidHandle(client, 8, 4);
  const Bytes request{0x00, 0x30, 0x30};
  EXPECT_FALSE(device->Write(request.data(), static_cast<int>(request.size())));
  EXPECT_NE(device->LastError().find("took no report"), std::string::npos) << device->LastError();
  // Once it reads again, reports go through, and nothing of the one given up.
  Bytes got(256);
  std::thread reader([&] {
    DWORD n = 0;
    if (!ReadFile(server, got.data(), static_cast<DWORD>(got.size()), &n, nullptr)) n = 0;
    got.resize(n);
  });
  EXPECT_TRUE(device->Write(request.data(), static_cast<int>(request.size())))
      << device->LastError();
  reader.join();
  EXPECT_EQ(got, (Bytes{0x00, 0x30, 0x30, 0x00}));
  device.reset();
  CloseHandle(server);
}

TEST_F(Win32HidPipe, ADeviceThatIsGoneGoesOnFailing) {
  // A read is waiting when it goes.
  std::thread gone([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CloseHandle(server);
    server = INVALID_HANDLE_VALUE;
  });
  int result = -2;
  Read(kInput, 5000, result);
  gone.join();
  EXPECT_EQ(result, -1);
  EXPECT_NE(device->LastError(), "");
  Read(kInput, 30, result);
  EXPECT_EQ(result, -1);
  const Bytes request{0x00, 0x30, 0x30};
  EXPECT_FALSE(device->Write(request.data(), static_cast<int>(request.size())));
  EXPECT_NE(device->LastError(), "");
}

}  // namespace
}  // namespace lumbra::platform::win32
