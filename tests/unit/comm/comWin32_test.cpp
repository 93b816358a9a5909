#include "comm/comWin32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "comm/wmProtocol.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"

namespace lumbra {
namespace {

using platform::FakeMessageLoop;
using platform::FakeSerialBackend;

class Comm32Test : public ::testing::Test {
 protected:
  Comm32Test() {
    loop.Install();
    serial.Install();
    host = loop.CreateMessageWindow([this](platform::TMessage& m) {
      if (m.Msg == WM_VECTOR_NOTICE) notices.push_back(TakeStdMessage(m.LParam)->dataStr);
    });
    port = serial.AddPort("/dev/ttyUSB0");
    comm.reset(new TComm32(host));
  }
  void OpenPort() {
    comm->SetDeviceName("/dev/ttyUSB0");
    comm->Open();
  }

  FakeMessageLoop loop;
  FakeSerialBackend serial;
  platform::HWND host = 0;
  std::shared_ptr<platform::FakeSerialPort> port;
  std::vector<std::string> notices;
  Owned<TComm32> comm;
};

TEST_F(Comm32Test, ConnectStringItemsAndReadBack) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"COM5,9600,e,7,1", "COM5,9600,E,7,1,dtr=on,rts=off,octs=off,odsr=off,idsr=off"},
      {"COM1,12345,N,8,1", "COM1,19200,N,8,1,dtr=on,rts=off,octs=off,odsr=off,idsr=off"},
      {"COM1,9600,X,9,3", "COM1,9600,N,8,1,dtr=on,rts=off,octs=off,odsr=off,idsr=off"},
      {"COM1,9600,N,8,1,rts=TG,dtr=HS", "COM1,9600,N,8,1,dtr=hs,rts=tg,octs=off,odsr=off,idsr=off"},
      {"/dev/ttyUSB0,256000,m,5,2,dtr=off,rts=hs,octs=on,odsr=on,idsr=on",
       "/dev/ttyUSB0,256000,M,5,2,dtr=off,rts=hs,octs=on,odsr=on,idsr=on"},
      {"x,230400,s,4,1,rts=on", "x,230400,S,4,1,dtr=on,rts=on,octs=off,odsr=off,idsr=off"},
      // Option names are matched as written, values in any case.
      {"COM1,9600,O,8,1,DTR=off,octs=ON",
       "COM1,9600,O,8,1,dtr=on,rts=off,octs=on,odsr=off,idsr=off"},
      {"", "COM2,19200,N,8,2,dtr=on,rts=off,octs=off,odsr=off,idsr=off"},
  };
  for (const auto& c : cases) {
    Owned<TComm32> fresh(new TComm32(host));
    fresh->SetConnectString(c.in);
    EXPECT_EQ(fresh->ConnectString(), c.out) << c.in;
  }
  comm->SetConnectString("COM5,9600,e,7,1");
  EXPECT_EQ(comm->BaudRate(), cbr9600);
  EXPECT_EQ(comm->Parity(), paEven);
  EXPECT_EQ(comm->Databits(), da7);
  EXPECT_EQ(comm->Stopbits(), sb1_0);
  EXPECT_EQ(comm->DCBFlags(), 0x13u);
}

TEST_F(Comm32Test, BadConnectStringFailsAndKeepsTheItemsBeforeIt) {
  comm->SetDatabits(da6);
  EXPECT_THROW(comm->SetConnectString("COM1,abc"), EConvertError);
  EXPECT_EQ(comm->DeviceName(), "COM1");
  EXPECT_EQ(comm->BaudRate(), cbr19200);

  EXPECT_THROW(comm->SetConnectString("COM7,9600,E,x,1"), EConvertError);
  EXPECT_EQ(comm->DeviceName(), "COM7");
  EXPECT_EQ(comm->BaudRate(), cbr9600);
  EXPECT_EQ(comm->Parity(), paEven);
  EXPECT_EQ(comm->Databits(), da6);

  EXPECT_THROW(comm->SetConnectString("COM8,4800,,8,1"), Exception);
  EXPECT_EQ(comm->Parity(), paEven);
  EXPECT_EQ(comm->BaudRate(), cbr4800);
  // An option where a number belongs fails the same way.
  EXPECT_THROW(comm->SetConnectString("COM1,dtr=on"), EConvertError);
}

TEST_F(Comm32Test, ClosedPortRefusesEverything) {
  char buf[4];
  EXPECT_EQ(comm->Read(buf, 4), 0);
  EXPECT_EQ(comm->WriteBuf("ab", 2), -1);
  EXPECT_EQ(comm->Write("ab"), -1);
  EXPECT_EQ(comm->Write(""), 0);
  EXPECT_EQ(comm->InQueCount(), 0);
  EXPECT_EQ(comm->OutQueCount(), 0);
  comm->PurgeIn();
  EXPECT_FALSE(comm->DoDTR(true));
  EXPECT_FALSE(comm->DoRTS(true));
  EXPECT_FALSE(comm->DoBREAK(true));
  EXPECT_TRUE(notices.empty());
}

TEST_F(Comm32Test, DeviceNameAndItsPathAreOnePort) {
  int connects = 0;
  comm->OnConnect = [&](TObject*, std::int32_t) { ++connects; };
  OpenPort();
  ASSERT_EQ(connects, 1);
  comm->SetDeviceName("ttyUSB0");  // the same device: nothing happens
  EXPECT_EQ(comm->DeviceName(), "/dev/ttyUSB0");
  EXPECT_EQ(connects, 1);
  serial.AddPort("/dev/ttyACM0");
  comm->SetDeviceName("ttyACM0");  // another one: reopened there
  EXPECT_EQ(comm->DeviceName(), "ttyACM0");
  EXPECT_EQ(connects, 2);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_TRUE(serial.Port("/dev/ttyACM0")->IsOpen());
}

TEST_F(Comm32Test, OpenAppliesSettingsAndCloseReportsOnce) {
  int disconnects = 0;
  comm->OnDisconnect = [&](TObject*, std::int32_t) { ++disconnects; };
  OpenPort();
  EXPECT_EQ(comm->Stato(), vsActive);
  EXPECT_TRUE(comm->Enabled());
  auto s = port->LastSettings();
  EXPECT_EQ(s.baudRate, 19200u);
  EXPECT_EQ(s.stopBits, 2);
  EXPECT_EQ(s.dataBits, 8);
  EXPECT_EQ(s.flags, 0x13u);
  comm->SetBaudRate(cbr115200);  // applied at once while open
  EXPECT_EQ(port->LastSettings().baudRate, 115200u);
  comm->SetConnectString("/dev/ttyUSB0,9600,N,8,1");  // restarts, state kept
  EXPECT_EQ(port->OpenCount(), 2);
  EXPECT_EQ(port->LastSettings().baudRate, 9600u);
  EXPECT_EQ(comm->Stato(), vsActive);
  comm->Close();
  comm->Close();
  EXPECT_EQ(disconnects, 1);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(comm->Stato(), vsIdle);
}

TEST_F(Comm32Test, MissingOrBusyPortGivesTheReason) {
  comm->SetDeviceName("/dev/ttyUSB7");
  try {
    comm->Open();
    FAIL() << "opened a missing port";
  } catch (const ECommError& e) {
    EXPECT_STREQ(e.what(),
                 "error /dev/ttyUSB7 Comm port busy or not available: No such file or directory");
  }
  EXPECT_EQ(comm->Stato(), vsIdle);

  OpenPort();
  Owned<TComm32> other(new TComm32(host));
  EXPECT_THROW(other->ConnectTo("/dev/ttyUSB0"), ECommError);
  EXPECT_FALSE(other->Enabled());
}

TEST_F(Comm32Test, BytesReachOnReceiveOnTheUiThread) {
  std::string got;
  bool onUi = true;
  comm->OnReceive = [&](TObject* sender, std::int32_t count) {
    EXPECT_EQ(sender, comm.get());
    onUi = onUi && loop.IsUiThread();
    std::string buf(static_cast<size_t>(count), '\0');
    got += buf.substr(0, static_cast<size_t>(comm->Read(buf.data(), count)));
  };
  OpenPort();
  port->Receive("hello");
  ASSERT_TRUE(loop.PumpUntil([&] { return got.size() >= 5; }));
  EXPECT_EQ(got, "hello");
  EXPECT_TRUE(onUi);
  EXPECT_EQ(comm->Write("ok"), 2);
  EXPECT_EQ(port->Written(), "ok");
}

TEST_F(Comm32Test, EventsInThreadRunOnTheEventThread) {
  std::atomic<int> count{0};
  std::atomic<bool> onUi{false};
  comm->OnReceive = [&](TObject*, std::int32_t n) {
    onUi = loop.IsUiThread();
    char buf[16];
    comm->Read(buf, n);
    count += n;
  };
  OpenPort();
  comm->SetEventsInThread(true);
  port->Receive("abc");
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (count < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(count, 3);
  EXPECT_FALSE(onUi);
}

TEST_F(Comm32Test, LineErrorsGoToTheHandlersOrElseToTheHost) {
  OpenPort();
  port->SetErrors(platform::kCeOverrun | platform::kCeFrame);
  port->Receive("x");
  ASSERT_TRUE(loop.PumpUntil([&] { return !notices.empty(); }));
  EXPECT_EQ(notices[0], "/dev/ttyUSB0: OVERRUN");

  std::string text;
  std::int32_t flags = 0;
  comm->OnError2 = [&](TObject*, std::int32_t e, const std::string& m) {
    flags = e;
    text = m;
  };
  port->SetErrors(platform::kCeRxParity | platform::kCeBreak);
  port->Receive("y");
  ASSERT_TRUE(loop.PumpUntil([&] { return !text.empty(); }));
  EXPECT_EQ(text, "RX PARITY ERROR");
  EXPECT_EQ(flags, platform::kCeRxParity | platform::kCeBreak);
  EXPECT_EQ(notices.size(), 1u);
}

TEST_F(Comm32Test, AGoneOrStalledDeviceMakesThePortLostWithoutAnErrorText) {
  struct Case {
    const char* name;
    std::function<void()> lose;
    std::uint64_t wakeups;  // of the event thread: a gone device must not make it spin
  } cases[] = {
      {"hang-up", [&] { port->HangUp(); }, 1},
      {"output that never drains",
       [&] {
         {
           std::lock_guard lock(serial.mutex);
           port->stalled = true;
         }
         EXPECT_EQ(comm->Write("poll"), -1);
       },
       0},
  };
  for (const auto& c : cases) {
    port = serial.AddPort("/dev/ttyUSB0");
    OpenPort();
    EXPECT_FALSE(comm->Lost()) << c.name;
    c.lose();
    ASSERT_TRUE(loop.PumpUntil([&] { return comm->Lost(); })) << c.name;
    EXPECT_EQ(comm->Stato(), vsActive) << c.name << ": closing is the owner's step";
    ASSERT_NE(comm->EventThread(), nullptr) << c.name;
    EXPECT_EQ(comm->EventThread()->Wakeups(), c.wakeups) << c.name;
    EXPECT_EQ(comm->Write("z"), -1) << c.name;
    comm->Close();
    loop.RunUntilIdle();
    EXPECT_FALSE(port->IsOpen()) << c.name;
    EXPECT_FALSE(comm->Lost()) << c.name;
    EXPECT_TRUE(notices.empty()) << c.name << ": the owner shows it as a reader problem";
  }
}

// A pulled adapter may fail its waits ("not ready") before its loss shows, or
// keep failing them: one fault, shown by the owner as a reader problem, with
// no error text of the port's on top. A wait that fails once on a port that
// then works is told, once.
TEST_F(Comm32Test, FailedWaitsOfAGonePortAreNoErrorOfTheirOwn) {
  struct Case {
    const char* name;
    int failingWaits;
    bool hangUp;      // the loss shows after the failures
    bool thenBytes;   // the port works after them
    std::vector<std::string> notices;
  } cases[] = {
      {"not ready, then gone", 1, true, false, {}},
      {"not ready twice, then gone", 2, true, false, {}},
      {"failing for good", 5, false, false, {}},
      {"not ready once, then working", 1, false, true, {"ComWin32: The device is not ready."}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    notices.clear();
    port = serial.AddPort("/dev/ttyUSB0");
    std::string got;
    comm->OnReceive = [&](TObject*, std::int32_t count) {
      char buf[64];
      got.append(buf, static_cast<size_t>(comm->Read(buf, std::min<std::int32_t>(count, 64))));
    };
    {
      std::lock_guard lock(serial.mutex);
      port->failingWaits = c.failingWaits;
    }
    OpenPort();
    if (c.hangUp) port->HangUp();
    if (c.thenBytes) {
      port->Receive("ok");
      ASSERT_TRUE(loop.PumpUntil([&] { return got == "ok"; }));
      EXPECT_FALSE(comm->Lost());
    } else {
      ASSERT_TRUE(loop.PumpUntil([&] { return comm->Lost(); }));
      // What a protocol does next: a read of the gone port.
      char buf[4];
      EXPECT_EQ(comm->Read(buf, 4), 0);
    }
    loop.RunUntilIdle();
    EXPECT_EQ(notices, c.notices);
    comm->Close();
    loop.RunUntilIdle();
  }
}

TEST_F(Comm32Test, ClosingDiscardsOutputNotYetSent) {
  OpenPort();
  {
    std::lock_guard lock(serial.mutex);
    port->holdOutput = true;  // as CTS held low would
  }
  EXPECT_EQ(comm->Write("poll"), 4);
  const std::uint64_t before = loop.GetTickCount64();
  comm->Close();
  EXPECT_LE(loop.GetTickCount64() - before, platform::kCloseDrainMs) << "the close is bounded";
  std::lock_guard lock(serial.mutex);
  EXPECT_FALSE(port->closedWithUnsent) << "a serial driver's close would wait up to 30 s";
  EXPECT_TRUE(port->unsent.empty());
}

TEST_F(Comm32Test, ARestartThatFailsLeavesThePortClosed) {
  int disconnects = 0;
  comm->OnDisconnect = [&](TObject*, std::int32_t) { ++disconnects; };
  struct Case {
    const char* name;
    std::function<void()> restart;
  } cases[] = {
      {"new connect string", [&] { comm->SetConnectString("/dev/ttyUSB0,9600,N,8,1"); }},
      {"events in thread", [&] { comm->SetEventsInThread(!comm->EventsInThread()); }},
  };
  for (const auto& c : cases) {
    port->openError.clear();
    OpenPort();
    disconnects = 0;
    port->openError = "No such file or directory";
    EXPECT_THROW(c.restart(), ECommError) << c.name;
    EXPECT_EQ(comm->Stato(), vsIdle) << c.name;
    EXPECT_FALSE(comm->Enabled()) << c.name;
    EXPECT_EQ(disconnects, 1) << c.name;
    port->openError.clear();
    EXPECT_TRUE(comm->Open()) << c.name << ": and can be opened again";
  }
  comm->OnDisconnect = nullptr;  // counts into this test's local
}

TEST_F(Comm32Test, ModemLinesOnlyWhereTheDeviceHasThem) {
  OpenPort();
  EXPECT_FALSE(comm->DoDTR(false));  // like a pseudo-terminal
  comm->Close();
  port->hasModemLines = true;
  OpenPort();
  EXPECT_TRUE(comm->DoDTR(false));
  EXPECT_TRUE(comm->DoRTS(true));
  EXPECT_TRUE(comm->DoBREAK(true));
}

TEST_F(Comm32Test, TransportRequestsOpenOrCloseOnlyOnChange) {
  int connects = 0;
  comm->OnConnect = [&](TObject*, std::int32_t) { ++connects; };
  comm->SetDeviceName("/dev/ttyUSB0");
  comm->SetStato(vsCalling);
  EXPECT_EQ(comm->Stato(), vsActive);
  comm->SetEnabled(true);
  EXPECT_TRUE(comm->Connect());
  EXPECT_EQ(connects, 1);
  comm->SetStato(vsDropping);
  EXPECT_EQ(comm->Stato(), vsIdle);
  comm->SetEnabled(false);
  EXPECT_TRUE(comm->Connect());
  EXPECT_EQ(connects, 2);
  std::int32_t size = 7;
  EXPECT_TRUE(comm->GetDevConfig(nullptr, size));
  EXPECT_EQ(size, 0);
}

TEST(Comm32NoticeTest, NoticeWithoutSenderCarriesIdZero) {
  FakeMessageLoop loop;
  loop.Install();
  std::unique_ptr<TStdMessage> got;
  platform::HWND h =
      loop.CreateMessageWindow([&](platform::TMessage& m) { got = TakeStdMessage(m.LParam); });
  auto m = std::make_unique<TStdMessage>();
  m->ID = 0;
  ASSERT_TRUE(PostStdMessage(h, std::move(m)));
  loop.RunUntilIdle();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->Mittente, nullptr);
  EXPECT_EQ(got->ID, 0);
}

TEST(EnumComPortsTest, ListsTheTableInItsOrder) {
  platform::FakeSerialDeviceTable table;
  table.Install();
  std::vector<std::string> list{"stale"};
  TComm32::EnumComPorts(list);
  EXPECT_TRUE(list.empty());
  table.entries = {{platform::SerialAdapterKind::UsbOther, "cdc_acm", "/dev/ttyACM0"},
                   {platform::SerialAdapterKind::Other, "serial8250", "/dev/ttyS0"}};
  TComm32::EnumComPorts(list);
  EXPECT_EQ(list, (std::vector<std::string>{"/dev/ttyACM0", "/dev/ttyS0"}));
  table.readable = false;
  TComm32::EnumComPorts(list);
  EXPECT_TRUE(list.empty());
}

}  // namespace
}  // namespace lumbra
