// Virtual HID devices through the Linux backend, against the simulated
// SLU-20 and small hand-made devices: real sockets and inotify, the fake loop
// for the broadcasts.
#include "platform/linux/VirtualHid.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/HidapiBackend.h"
#include "readersim/SimSLU20.h"
#include "support/UiHold.h"

namespace lumbra {
namespace {

namespace fs = std::filesystem;
using platform::HidDeviceInfo;

// A device made by hand: a listening socket that greets every connection
// with the given first message.
class HandDevice {
 public:
  HandDevice(const std::string& path, std::string hello) : fHello(std::move(hello)) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    fFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    EXPECT_EQ(::bind(fFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::listen(fFd, 8), 0);
    fThread = std::thread([this] {
      while (!fStop) {
        pollfd p{fFd, POLLIN, 0};
        if (::poll(&p, 1, 20) != 1) continue;
        const int c = ::accept(fFd, nullptr, nullptr);
        if (c < 0) continue;
        if (!fHello.empty()) ::send(c, fHello.data(), fHello.size(), MSG_NOSIGNAL);
        fOpen.push_back(c);
      }
    });
  }
  ~HandDevice() {
    fStop = true;
    fThread.join();
    ::close(fFd);
    for (int c : fOpen) ::close(c);
  }

 private:
  std::string fHello;
  std::atomic<bool> fStop{false};
  int fFd = -1;
  std::vector<int> fOpen;
  std::thread fThread;
};

std::string Hello(std::uint32_t number, const std::string& product = "Hand-made") {
  platform::VirtualHidHello h;
  h.vendorId = 0x1234;
  h.productId = 0x5678;
  h.version = 0x0102;
  h.number = number;
  h.inputReportLength = 5;
  h.product = product;
  return platform::EncodeVirtualHidHello(h);
}

class VirtualHidTest : public ::testing::Test {
 protected:
  VirtualHidTest()
      : root(fs::temp_directory_path() / ("lumbra-vhid-" + std::to_string(::getpid()))),
        folder((root / "lumbra" / "hid").string()),
        backend(folder) {
    fs::remove_all(root);
    fs::create_directories(root);
    loop.Install();
    window = loop.CreateMessageWindow([this](platform::TMessage& m) {
      if (m.Msg == platform::WM_DEVICECHANGE) changes.push_back(m.WParam);
    });
  }
  ~VirtualHidTest() override {
    loop.DestroyMessageWindow(window);
    fs::remove_all(root);
  }

  // The list once no device is being greeted in the background any more: on
  // a busy machine a device may miss the listing's short wait for its hello.
  std::vector<HidDeviceInfo> Virtual() {
    backend.Enumerate();
    EXPECT_TRUE(loop.PumpUntil([&] { return !backend.Virtual().Greeting(); }));
    auto all = backend.Enumerate();
    all.erase(std::remove_if(all.begin(), all.end(),
                             [](const HidDeviceInfo& d) {
                               return !platform::IsVirtualHidInstance(d.instance);
                             }),
              all.end());
    return all;
  }
  std::unique_ptr<readersim::SimHidPort> Sim(std::uint32_t number) {
    return std::make_unique<readersim::SimHidPort>(std::make_unique<readersim::SLU20Device>(),
                                                   number, folder);
  }
  // Waits (in real time, bounded) for the folder's watch to have news, and
  // lets the loop handle it; the device changes broadcast meanwhile.
  std::size_t Notice() {
    changes.clear();
    pollfd p{backend.Virtual().Descriptor(), POLLIN, 0};
    if (::poll(&p, 1, 2000) == 1) {
      // Whatever else comes with it, as one reading.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      loop.SignalReadable(p.fd);
    }
    loop.RunUntilIdle();
    return changes.size();
  }
  static std::string ReadReport(platform::IHidDevice& dev) {
    std::uint8_t buf[64];
    const int n = dev.Read(buf, sizeof buf, 2000);
    return n > 0 ? std::string(reinterpret_cast<char*>(buf), static_cast<std::size_t>(n))
                 : std::string();
  }

  fs::path root;
  std::string folder;
  platform::FakeMessageLoop loop;
  platform::HidapiBackend backend;
  platform::HWND window = 0;
  std::vector<platform::WPARAM> changes;
};

TEST_F(VirtualHidTest, ADeviceArrivesIsListedTalksAndFailsForGoodOnceUnplugged) {
  backend.Watch();
  ASSERT_TRUE(loop.Watching(backend.Virtual().Descriptor()));
  EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
  auto sim = Sim(7);
  EXPECT_EQ(Notice(), 1u) << "one arrival, one broadcast";
  EXPECT_EQ(changes.front(), platform::DBT_DEVNODES_CHANGED);

  auto list = Virtual();
  ASSERT_EQ(list.size(), 1u);
  const HidDeviceInfo& info = list[0];
  EXPECT_EQ(info.instance, 0x80000007u);
  EXPECT_EQ(info.vendorId, 0x1F3A);
  EXPECT_EQ(info.productId, 0x0020);
  EXPECT_EQ(info.version, 0x0110);
  EXPECT_EQ(info.product, "Tavik SLU-11 USB Badge Reader");
  EXPECT_EQ(info.inputReportLength, 9);
  EXPECT_EQ(info.path, sim->SocketPath());

  std::string error;
  auto dev = backend.Open(info, error);
  ASSERT_TRUE(dev) << error;
  std::uint8_t buf[16];
  EXPECT_EQ(dev->Read(buf, sizeof buf, 20), 0) << "nothing asked, nothing comes";

  ASSERT_TRUE(sim->Command("insert 1=2"));
  std::vector<std::uint8_t> codes;
  ASSERT_TRUE(readersim::SLU20Device::EncodeTrack("1=2", codes));
  const std::string block = readersim::SLU20Device::Block(2, codes);
  const std::uint8_t request[3] = {0x00, 0x30, 0x30};
  std::string got;
  for (int packet = 1; packet <= 4; ++packet) {
    ASSERT_TRUE(dev->Write(request, sizeof request)) << dev->LastError();
    const std::string report = ReadReport(*dev);
    ASSERT_EQ(report.size(), 9u) << "packet " << packet;
    EXPECT_EQ(report[0], 0) << "report ID";
    EXPECT_EQ(report[1], packet);
    got += report.substr(2);
  }
  EXPECT_EQ(got, block);

  sim->Unplug();
  EXPECT_EQ(Notice(), 1u) << "one removal, one broadcast";
  EXPECT_TRUE(Virtual().empty());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(dev->Read(buf, sizeof buf, 100), -1) << "read " << i;
    EXPECT_FALSE(dev->LastError().empty());
  }
  EXPECT_FALSE(dev->Write(request, sizeof request));
  EXPECT_FALSE(backend.Open(info, error)) << "a device gone since the listing";
  EXPECT_FALSE(error.empty());

  sim->PlugBack(8);
  EXPECT_EQ(Notice(), 1u);
  list = Virtual();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].instance, 0x80000008u) << "plugged back with another instance";
  backend.Unwatch();
  EXPECT_FALSE(loop.Watching(backend.Virtual().Descriptor()));
}

TEST_F(VirtualHidTest, SeveralDevicesEachWithItsOwnReports) {
  auto a = Sim(3);
  auto b = Sim(5);
  auto list = Virtual();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].instance, 0x80000003u);
  EXPECT_EQ(list[1].instance, 0x80000005u);
  std::string error;
  auto da = backend.Open(list[0], error);
  auto db = backend.Open(list[1], error);
  ASSERT_TRUE(da && db);
  ASSERT_TRUE(a->Command("insert 11"));
  ASSERT_TRUE(b->Command("half"));
  const std::uint8_t request[3] = {0x00, 0x30, 0x30};
  ASSERT_TRUE(da->Write(request, 3));
  ASSERT_TRUE(db->Write(request, 3));
  const std::string ra = ReadReport(*da);
  const std::string rb = ReadReport(*db);
  ASSERT_GE(ra.size(), 3u);
  ASSERT_GE(rb.size(), 3u);
  EXPECT_EQ(ra[2], 2) << "card in";
  EXPECT_EQ(rb[2], 1) << "card half-way";
  std::uint8_t buf[16];
  EXPECT_EQ(da->Read(buf, sizeof buf, 50), 0) << "no report of the other device";

  // One unplugged: the other goes on.
  a->Unplug();
  EXPECT_EQ(da->Read(buf, sizeof buf, 100), -1);
  ASSERT_TRUE(db->Write(request, 3));
  EXPECT_EQ(ReadReport(*db).size(), 9u);
  ASSERT_EQ(Virtual().size(), 1u);
}

TEST_F(VirtualHidTest, OnlySocketsWithAValidHelloAreListed) {
  auto sim = Sim(2);
  struct Case {
    const char* name;
    std::string hello;
  } cases[] = {
      {"good", Hello(9)},
      {"same-number", Hello(9, "Second")},  // listed after "good": left out
      {"bad-magic", "XHID" + Hello(10).substr(4)},
      {"number-0", Hello(0)},
      {"short", Hello(11).substr(0, 17)},
      {"silent", ""},
      {".hidden", Hello(12)},
  };
  std::vector<std::unique_ptr<HandDevice>> devices;
  for (const auto& c : cases)
    devices.push_back(std::make_unique<HandDevice>(folder + "/" + c.name, c.hello));
  std::ofstream(folder + "/not-a-socket") << "x";
  {
    // A socket whose device is gone (it never listened again).
    HandDevice stale(folder + "/stale", Hello(13));
  }
  const auto list = Virtual();
  std::vector<std::pair<std::uint32_t, std::string>> got;
  for (const auto& d : list) got.emplace_back(d.instance, d.product);
  EXPECT_EQ(got, (std::vector<std::pair<std::uint32_t, std::string>>{
                     {0x80000009u, "Hand-made"}, {0x80000002u, "Tavik SLU-11 USB Badge Reader"}}));
}

TEST_F(VirtualHidTest, ADeviceGoneWrongHoldsUpNoListingOpeningOrWrite) {
  auto sim = Sim(6);
  HandDevice silent(folder + "/silent", "");
  std::vector<HidDeviceInfo> list;
  EXPECT_LT(test::UiHold(loop, [&] { list = backend.Enumerate(); }), test::kUiBound)
      << "a device that never greets";
  ASSERT_TRUE(loop.PumpUntil([&] { return !backend.Virtual().Greeting(); }));
  EXPECT_LT(test::UiHold(loop, [&] { list = Virtual(); }), test::kUiBound)
      << "nor when listed again";
  ASSERT_EQ(list.size(), 1u) << "the silent one is left out";
  const HidDeviceInfo reader = list[0];

  // A device that greeted when listed but greets no more when opened: the
  // opening does not wait for it, the first read tells.
  ASSERT_TRUE(sim->Command("nohello"));
  std::string error;
  std::unique_ptr<platform::IHidDevice> dev;
  EXPECT_LT(test::UiHold(loop, [&] { dev = backend.Open(reader, error); }), test::kUiBound);
  ASSERT_NE(dev, nullptr) << error;
  std::uint8_t buf[16];
  int n = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (n == 0 && std::chrono::steady_clock::now() < until) n = dev->Read(buf, sizeof buf, 100);
  EXPECT_EQ(n, -1);
  EXPECT_NE(dev->LastError().find("no hello"), std::string::npos) << dev->LastError();
  ASSERT_TRUE(sim->Command("hello"));

  // One that may only be read is listed, and not opened until it may be written.
  ASSERT_TRUE(sim->Command("readonly"));
  sim->Unplug();
  sim->PlugBack();
  list = Virtual();
  ASSERT_EQ(list.size(), 1u) << "listed all the same";
  EXPECT_EQ(backend.Open(list[0], error), nullptr);
  EXPECT_NE(error.find("Permission denied"), std::string::npos) << error;
  ASSERT_TRUE(sim->Command("writable"));
  dev = backend.Open(list[0], error);
  ASSERT_NE(dev, nullptr) << error;

  // Writes to a device that reads nothing any more fail, and never wait.
  ASSERT_TRUE(sim->Command("stall"));
  int refused = 0;
  const std::uint8_t request[3] = {0, 0x30, 0x30};
  EXPECT_LT(test::UiHold(loop,
                         [&] {
                           for (int i = 0; i < 2000; ++i) refused += dev->Write(request, 3) ? 0 : 1;
                         }),
            test::kUiBound);
  EXPECT_GT(refused, 0);
}

TEST_F(VirtualHidTest, AFolderOthersMayEnterIsRefused) {
  struct Case {
    const char* which;
    fs::perms mode;
  } cases[] = {
      {"hid", fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec},
      {"lumbra", fs::perms::owner_all | fs::perms::others_exec},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.which);
    auto sim = Sim(4);
    ASSERT_EQ(Virtual().size(), 1u);
    const fs::path dir = c.which == std::string("hid") ? fs::path(folder) : root / "lumbra";
    fs::permissions(dir, c.mode);
    EXPECT_TRUE(Virtual().empty());
    std::string error;
    EXPECT_FALSE(platform::VirtualHidSource::PrepareFolder(folder, error));
    EXPECT_NE(error.find(dir.string()), std::string::npos) << error;
    backend.Watch();
    EXPECT_FALSE(loop.Watching(backend.Virtual().Descriptor()));
    backend.Unwatch();
    fs::permissions(dir, fs::perms::owner_all);
    EXPECT_EQ(Virtual().size(), 1u);
  }
  if (::geteuid() == 0) {
    // Root can make a folder of another user's: refused too.
    auto sim = Sim(4);
    ASSERT_EQ(::chown(folder.c_str(), 65534, 65534), 0);
    std::string error;
    EXPECT_FALSE(platform::VirtualHidSource::PrepareFolder(folder, error));
    EXPECT_TRUE(Virtual().empty());
  }
}

}  // namespace
}  // namespace lumbra
