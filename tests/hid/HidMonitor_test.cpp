// The udev monitor of HID nodes: which events become device-change
// broadcasts; and the report descriptors the backend reads its report
// layout from.
#include <gtest/gtest.h>

#include <vector>

#include "platform/Hid.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/HidReportDescriptor.h"
#include "platform/linux/UdevHidMonitor.h"

namespace lumbra {
namespace {

TEST(UdevHidMonitorTest, ArrivalsAndRemovalsAreBroadcastAsDeviceChanges) {
  platform::FakeMessageLoop loop;
  loop.Install();
  std::vector<platform::TMessage> got;
  const platform::HWND a =
      loop.CreateMessageWindow([&](platform::TMessage& m) { got.push_back(m); });
  const platform::HWND b =
      loop.CreateMessageWindow([&](platform::TMessage& m) { got.push_back(m); });
  {
    platform::UdevHidMonitor monitor;
    // Where udev answers at all, its socket is watched by the loop.
    EXPECT_EQ(monitor.Active(), monitor.Descriptor() >= 0 && loop.Watching(monitor.Descriptor()));
    // A wake-up with nothing to read returns at once: the socket never blocks the loop.
    if (monitor.Active()) loop.SignalReadable(monitor.Descriptor());
    loop.RunUntilIdle();
    EXPECT_TRUE(got.empty());
    struct Case {
      const char* action;
      bool broadcast;
    } cases[] = {{"add", true},   {"remove", true},  {"change", false},
                 {"bind", false}, {"unbind", false}, {"", false}};
    for (const auto& c : cases) {
      SCOPED_TRACE(c.action);
      got.clear();
      platform::UdevHidMonitor::DeviceEvent(c.action);
      loop.RunUntilIdle();
      if (!c.broadcast) {
        EXPECT_TRUE(got.empty());
        continue;
      }
      ASSERT_EQ(got.size(), 2u) << "every window";
      for (const auto& m : got) {
        EXPECT_EQ(m.Msg, platform::WM_DEVICECHANGE);
        EXPECT_EQ(m.WParam, platform::DBT_DEVNODES_CHANGED);
        EXPECT_EQ(m.LParam, 0);
      }
    }
  }
  loop.DestroyMessageWindow(a);
  loop.DestroyMessageWindow(b);
}

TEST(HidReportDescriptorTest, ReportIdsAndLongestInputReport) {
  using Bytes = std::vector<std::uint8_t>;
  struct Case {
    const char* what;
    Bytes desc;
    bool valid;
    bool numbered;
    std::uint16_t length;
  } cases[] = {
      {"8 input bytes, 3 output bytes, no IDs",
       {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x75, 0x08, 0x95, 0x08, 0x81, 0x02, 0x95, 0x03,
        0x91, 0x02, 0xC0},
       true,
       false,
       9},
      {"a keyboard: 8 modifier bits, a spare byte, 6 keys",
       {0x05, 0x01, 0x09, 0x06, 0xA1, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0x95,
        0x01, 0x75, 0x08, 0x81, 0x01, 0x95, 0x06, 0x75, 0x08, 0x81, 0x00, 0xC0},
       true,
       false,
       9},
      {"IDs 1 (4 bytes) and 2 (16 bytes): the longest counts",
       {0xA1, 0x01, 0x85, 0x01, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02, 0x85, 0x02, 0x95, 0x10, 0x81,
        0x02, 0xC0},
       true,
       true,
       17},
      {"bits rounded up to bytes", {0x75, 0x01, 0x95, 0x03, 0x81, 0x02}, true, false, 2},
      {"push and pop keep size and count",
       {0x75, 0x08, 0x95, 0x01, 0xA4, 0x75, 0x10, 0x95, 0x02, 0x81, 0x02, 0xB4, 0x81, 0x02},
       true,
       false,
       6},
      {"four-byte data, a long item skipped",
       {0x77, 0x08, 0x00, 0x00, 0x00, 0xFE, 0x02, 0x10, 0xAA, 0xBB, 0x95, 0x02, 0x81, 0x02},
       true,
       false,
       3},
      {"no input report", {0x75, 0x08, 0x95, 0x03, 0x91, 0x02}, true, false, 0},
      {"an item cut short", {0x75, 0x08, 0x96, 0x03}, false, false, 0},
      {"a pop without push", {0xB4}, false, false, 0},
      {"a long item cut short", {0xFE, 0x05, 0x10, 0x00}, false, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto layout = platform::ParseReportDescriptor(c.desc.data(), c.desc.size());
    EXPECT_EQ(layout.valid, c.valid);
    if (!c.valid) continue;
    EXPECT_EQ(layout.numbered, c.numbered);
    EXPECT_EQ(layout.inputReportLength, c.length);
  }
}

}  // namespace
}  // namespace lumbra
