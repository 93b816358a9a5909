#include "comm/AdPort.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/AppException.h"
#include "comm/PortDiscovery.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {
namespace {

using platform::FakeMessageLoop;
using platform::FakeSerialBackend;
using platform::SerialAdapterKind;

class TestHolder : public TPortHolder {
 public:
  using TPortHolder::TPortHolder;
  bool attached = true;
  bool active = true;
  platform::HWND owner = 0;
  std::string got;
  bool throwOnce = false;

 protected:
  bool HasProto() const override { return attached; }
  void ProtoReceive(const std::uint8_t* b, std::int32_t n) override {
    got.append(reinterpret_cast<const char*>(b), static_cast<size_t>(n));
    if (throwOnce) {
      throwOnce = false;
      throw Exception("parser failed");
    }
  }
  platform::HWND ProtoOwner() const override { return owner; }
  bool ReportLineErrors() const override { return active; }
};

class AdPortTest : public ::testing::Test {
 protected:
  AdPortTest() {
    loop.Install();
    serial.Install();
    port = serial.AddPort("/dev/ttyS2");
    holder.owner = loop.CreateMessageWindow([this](platform::TMessage& m) {
      if (m.Msg == WM_DISP_ERROR) errors.push_back(static_cast<int>(m.WParam));
    });
  }
  ~AdPortTest() override { SetApplicationExceptionHandler(nullptr); }

  FakeMessageLoop loop;
  FakeSerialBackend serial;
  std::shared_ptr<platform::FakeSerialPort> port;
  TestHolder holder{nullptr};
  std::vector<int> errors;
};

TEST_F(AdPortTest, OpensByNumberWithFixedSettings) {
  TApdComPort& p = *holder.ApdComPort1;
  EXPECT_THROW(p.SetOpen(true), EApdPortError);  // no number yet
  EXPECT_FALSE(p.Open());
  p.SetComNumber(3);  // COM3 is /dev/COM3 on the fake backend
  serial.AddPort("/dev/COM3");
  p.SetOpen(true);
  ASSERT_TRUE(p.Open());
  auto s = serial.Port("/dev/COM3")->LastSettings();
  EXPECT_EQ(s.baudRate, 9600u);
  EXPECT_EQ(s.dataBits, 8);
  EXPECT_EQ(s.parity, 0);
  EXPECT_EQ(s.stopBits, 0);
  p.SetComNumber(3);  // same number: untouched
  EXPECT_EQ(serial.Port("/dev/COM3")->OpenCount(), 1);
  EXPECT_THROW(p.SetComNumber(70000), ERangeError);
  EXPECT_EQ(p.ComNumber(), 3);
  p.SetPortName("/dev/ttyS2");  // a path: reopened there
  EXPECT_TRUE(port->IsOpen());
  EXPECT_FALSE(serial.Port("/dev/COM3")->IsOpen());
  p.SetOpen(false);
  EXPECT_FALSE(port->IsOpen());
}

TEST_F(AdPortTest, BytesReachTheProtocolOneNotificationAtATime) {
  holder.ApdComPort1->SetPortName("/dev/ttyS2");
  holder.ApdComPort1->SetOpen(true);
  int depth = 0, maxDepth = 0;
  auto inner = holder.ApdComPort1->OnTriggerAvail;
  holder.ApdComPort1->OnTriggerAvail = [&](TObject* cp, std::uint16_t n) {
    maxDepth = std::max(maxDepth, ++depth);
    EXPECT_TRUE(loop.IsUiThread());
    loop.RunUntilIdle();  // a handler that pumps must not see a second offer
    inner(cp, n);
    --depth;
  };
  port->Receive("abc");
  port->Receive("def");
  ASSERT_TRUE(loop.PumpUntil([&] { return holder.got.size() >= 6; }));
  EXPECT_EQ(holder.got, "abcdef");
  EXPECT_EQ(maxDepth, 1);
  port->HangUp();
  ASSERT_TRUE(loop.PumpUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors[0], 48);
}

TEST_F(AdPortTest, LostDeviceIsLetGoBeforeTheLossIsToldAndLaterWritesFail) {
  TApdComPort& p = *holder.ApdComPort1;
  p.SetPortName("/dev/ttyS2");
  p.SetOpen(true);
  p.PutString("before");
  port->HangUp();
  ASSERT_TRUE(loop.PumpUntil([&] { return !errors.empty(); }));
  EXPECT_FALSE(port->IsOpen());
  loop.RunUntilIdle();
  EXPECT_EQ(errors, std::vector<int>{48});
  try {
    p.PutString("after");
    ADD_FAILURE() << "wrote to a lost port";
  } catch (const EApdPortError& e) {
    EXPECT_STREQ(e.what(), "Port lost: the device was disconnected");
  }
  EXPECT_EQ(port->Written(), "before");
  EXPECT_TRUE(p.Open());  // until the protocol closes it
  p.SetOpen(false);
  EXPECT_FALSE(p.Open());
}

TEST_F(AdPortTest, ClosingDiscardsOutputTheDeviceHasNotSent) {
  // Every way the port lets a device go: a driver would otherwise hold the
  // close until the stuck bytes went out, or its closing time ran out.
  struct Case {
    const char* how;
    std::function<void(TApdComPort&)> close;
  } cases[] = {
      {"closed", [](TApdComPort& p) { p.SetOpen(false); }},
      {"moved to another port", [](TApdComPort& p) { p.SetPortName("/dev/ttyS3"); }},
      {"moved to a port number", [](TApdComPort& p) { p.SetComNumber(3); }},
  };
  serial.AddPort("/dev/ttyS3");
  serial.AddPort("/dev/COM3");
  port->holdOutput = true;
  for (const auto& c : cases) {
    TApdComPort& p = *holder.ApdComPort1;
    p.SetPortName("/dev/ttyS2");
    p.SetOpen(true);
    p.PutString("stuck");
    ASSERT_EQ(port->unsent, "stuck") << c.how;
    const std::uint64_t before = loop.GetTickCount64();
    c.close(p);
    EXPECT_LE(loop.GetTickCount64() - before, platform::kCloseDrainMs) << c.how;
    EXPECT_FALSE(port->IsOpen()) << c.how;
    EXPECT_FALSE(port->closedWithUnsent) << c.how;
    p.SetOpen(false);
  }
}

TEST_F(AdPortTest, DetachedHolderDropsBytesAndHandlerErrorsDoNotStopDelivery) {
  std::string shown;
  SetApplicationExceptionHandler([&](TObject*, const std::exception& e) { shown = e.what(); });
  holder.ApdComPort1->SetPortName("/dev/ttyS2");
  holder.ApdComPort1->SetOpen(true);
  int offers = 0;
  auto inner = holder.ApdComPort1->OnTriggerAvail;
  holder.ApdComPort1->OnTriggerAvail = [&](TObject* cp, std::uint16_t n) {
    ++offers;
    inner(cp, n);
  };
  holder.attached = false;
  port->Receive("lost");
  ASSERT_TRUE(loop.PumpUntil([&] { return offers == 1; }));
  EXPECT_EQ(holder.got, "");
  holder.attached = true;
  holder.throwOnce = true;
  port->Receive("x");
  ASSERT_TRUE(loop.PumpUntil([&] { return !shown.empty(); }));
  port->Receive("y");
  ASSERT_TRUE(loop.PumpUntil([&] { return holder.got == "xy"; }));
  EXPECT_EQ(shown, "parser failed");
  EXPECT_TRUE(holder.ApdComPort1->Open());
}

TEST_F(AdPortTest, LineErrorsPostOnlyWhenTheHolderWantsThem) {
  holder.ApdComPort1->SetPortName("/dev/ttyS2");
  holder.ApdComPort1->SetOpen(true);
  holder.active = false;
  port->SetErrors(platform::kCeFrame);
  port->Receive("a");
  ASSERT_TRUE(loop.PumpUntil([&] { return holder.got == "a"; }));
  loop.RunUntilIdle();
  EXPECT_TRUE(errors.empty());
  holder.active = true;
  port->SetErrors(platform::kCeFrame);
  port->Receive("b");
  ASSERT_TRUE(loop.PumpUntil([&] { return !errors.empty(); }));
  EXPECT_EQ(errors[0], 48);
}

TEST(ComNumberFromTextTest, TrailingDigits) {
  struct Case {
    const char* text;
    std::int32_t n;
  } cases[] = {{"COM3", 3}, {"COM12", 12}, {"COM", 0},     {"", 0},
               {"7", 7},    {"CO1M", 0},   {"COM 12", 12}, {"COM12A", 0}};
  for (const auto& c : cases) EXPECT_EQ(ComNumberFromText(c.text), c.n) << c.text;
  EXPECT_THROW(ComNumberFromText("COM99999999999"), ERangeError);
}

TEST(FindPortTest, SelectionRules) {
  using K = SerialAdapterKind;
  struct Case {
    std::vector<platform::SerialDeviceEntry> table;
    const char* usb;
    const char* prolific;
  } cases[] = {
      {{}, "", ""},
      {{{K::UsbOther, "cdc_acm", "/dev/ttyACM0"}, {K::UsbOther, "cdc_acm", "/dev/ttyACM1"}},
       "/dev/ttyACM1", ""},
      {{{K::UsbOther, "ftdi_sio", "/dev/ttyUSB0"},
        {K::SiliconLabs, "cp210x", "/dev/ttyUSB1"},
        {K::UsbOther, "ch341-uart", "/dev/ttyUSB2"},
        {K::SiliconLabs, "cp210x", "/dev/ttyUSB3"}},
       "/dev/ttyUSB1", ""},
      {{{K::Prolific, "pl2303", "/dev/ttyUSB0"},
        {K::Other, "serial8250", "/dev/ttyS0"},
        {K::Prolific, "pl2303", "/dev/ttyUSB1"}},
       "", "/dev/ttyUSB0"},
  };
  platform::FakeSerialDeviceTable table;
  table.Install();
  for (const auto& c : cases) {
    table.entries = c.table;
    EXPECT_EQ(FindUsbSerialPort(), c.usb);
    EXPECT_EQ(FindProlificPort(), c.prolific);
  }
  table.readable = false;
  EXPECT_EQ(FindUsbSerialPort(), "");
}

}  // namespace
}  // namespace lumbra
