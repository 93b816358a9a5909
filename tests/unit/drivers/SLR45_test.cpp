#include <gtest/gtest.h>

#include "drivers/slr45/RKM530.h"
#include "platform/DeviceChange.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"
#include "support/ReaderEvents.h"

namespace lumbra {
namespace {

using platform::FakeMessageLoop;
using platform::FakeSerialBackend;
using platform::SerialAdapterKind;
using Events = std::vector<std::string>;

constexpr char kPort[] = "/dev/serial/by-id/usb-reader-port0";

std::string Printable(const std::string& s) {
  std::string out;
  for (char c : s) out += c == '\r' ? std::string("<CR>") : std::string(1, c);
  return out;
}

// STX, the two header bytes, the code, the check byte (or `check`), extra
// bytes, ETX.
std::string Frame(const std::string& code, std::uint8_t first = 0x0A, std::uint8_t second = 0x01,
                  int check = -1, const std::string& extra = {}) {
  std::string body;
  body += static_cast<char>(first);
  body += static_cast<char>(second);
  body += code;
  std::uint8_t x = 0;
  for (char c : body) x ^= static_cast<std::uint8_t>(c);
  body += static_cast<char>(check < 0 ? x : check);
  return "\x02" + body + extra + "\x03";
}

const std::string kCode("\x12\x34\x56\x78\x9A", 5);

class SLR45Test : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    serial.Install();
    table.Install();
    port = serial.AddPort(kPort);
    reader.reset(new TSLR45BadgeReader(nullptr));
    test::RecordReaderEvents(*reader, events, Printable);
    reader->SetCrypt(false);
    reader->SetCheckCRCTes(false);
    reader->SetCOM(kPort);
  }
  void TearDown() override { reader.reset(); }

  void Start(std::int32_t track = 7) {
    reader->SetTrack(track);
    reader->SetActive(true);
    ASSERT_TRUE(reader->Active());
    loop.Advance(55);
    ASSERT_EQ(Take(), Events{"restore"}) << "an open port restores the reader";
  }
  void Block(const std::string& b) {
    reader->Protocol()->ProcessBuffer(reinterpret_cast<const std::uint8_t*>(b.data()),
                                      static_cast<std::int32_t>(b.size()));
    loop.RunUntilIdle();
  }
  void Removal(const std::string& name) {
    platform::BroadcastPortRemoved(name);
    loop.RunUntilIdle();
  }
  // The port's device goes away under it, as a pulled adapter.
  void Pull() {
    port->openError = "No such file or directory";
    port->HangUp();
    ASSERT_TRUE(loop.PumpUntil([&] { return !events.empty(); }));
  }
  Events Take() { return std::exchange(events, {}); }

  FakeMessageLoop loop;
  FakeSerialBackend serial;
  platform::FakeSerialDeviceTable table;
  std::shared_ptr<platform::FakeSerialPort> port;
  Owned<TSLR45BadgeReader> reader;
  Events events;
};

TEST_F(SLR45Test, TheCodeIsRenderedByTheTrackCode) {
  const std::string hex = "123456789A", split = "0182591577652", dec = "78187493530";
  const std::string cases[8] = {"",
                                hex,
                                split,
                                dec,
                                hex + "<CR>" + split,
                                split + "<CR>" + dec,
                                hex + "<CR>" + dec,
                                hex + "<CR>" + split + "<CR>" + dec};
  for (std::int32_t code = 1; code <= 7; ++code) {
    reader->SetActive(false);
    Start(code);
    Block(Frame(kCode));
    EXPECT_EQ(Take(), Events{"read " + cases[code]}) << "track code " << code;
  }
  // Every byte value at the edges of each form.
  AnsiString out;
  const std::uint8_t high[5] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  ASSERT_TRUE(RenderBadgeCode(high, 7, out));
  EXPECT_EQ(Printable(out), "FFFFFFFFFF<CR>2554294967295<CR>1099511627775");
  const std::uint8_t low[5] = {0, 0, 0, 0, 1};
  ASSERT_TRUE(RenderBadgeCode(low, 7, out));
  EXPECT_EQ(Printable(out), "0000000001<CR>0000016777216<CR>1");
  EXPECT_FALSE(RenderBadgeCode(low, 8, out));
}

TEST_F(SLR45Test, FramesOnTheLine) {
  const std::string good = Frame(kCode);
  const std::string read = "read 123456789A";
  const std::string other = Frame(std::string("\x00\x00\x00\x30\x39", 5));
  const std::string otherRead = "read 0000003039";
  const std::string withEtx("\x12\x03\x56\x78\x9A", 5);
  struct Case {
    const char* name;
    std::vector<std::string> blocks;
    Events events;
  } cases[] = {
      {"the example frame", {good}, {read}},
      {"second byte 2", {Frame(kCode, 0x0A, 0x02)}, {read}},
      {"wrong check byte", {Frame(kCode, 0x0A, 0x01, 0x98)}, {"badcrc"}},
      {"second byte 3, check byte adjusted", {Frame(kCode, 0x0A, 0x03)}, {"badcrc"}},
      {"second byte 0", {Frame(kCode, 0x0A, 0x00)}, {"badcrc"}},
      {"an ETX among the code bytes is data", {Frame(withEtx)}, {"read 120356789A"}},
      {"an ETX as first byte and as check byte",
       {Frame(std::string("\x00\x00\x00\x00\x02", 5), 0x03, 0x02)},
       {"read 0000000002"}},
      {"bytes after the check byte are ignored", {Frame(kCode, 0x0A, 0x01, -1, "\r\nxyz")}, {read}},
      {"garbage before and between frames",
       {"\x03\xff\x01garbage" + good + "\x03\x03noise\r\n" + other},
       {read, otherRead}},
      {"two badges in one block, each read once in order", {good + other}, {read, otherRead}},
      {"a frame in pieces", {good.substr(0, 1), good.substr(1, 4), good.substr(5)}, {read}},
      // The cut frame takes the next one in as data; the check byte catches it.
      {"a frame cut short swallows the next", {"\x02\x0A\x01\x12", good, good}, {"badcrc", read}},
      {"the same frame twice in one block is one presentation", {good + good}, {read}},
      {"511 bytes after STX still end as a frame",
       {Frame(kCode, 0x0A, 0x01, -1, std::string(503, 'U'))},
       {read}},
      {"512 bytes after STX are abandoned",
       {Frame(kCode, 0x0A, 0x01, -1, std::string(504, 'U')), good},
       {read}},
      {"an over-long frame is dropped, the next one read",
       {"\x02" + std::string(600, 'U') + "\x03", good},
       {read}},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    Start(1);
    for (const auto& b : c.blocks) Block(b);
    EXPECT_EQ(Take(), c.events) << c.name;
    EXPECT_FALSE(reader->Protocol()->InFrame()) << c.name;
  }
}

// The reader repeats its frame while the badge stays in the field: one
// presentation is one read, however long it lasts.
TEST_F(SLR45Test, ABadgeHeldInTheFieldIsReadOnce) {
  const std::string first = Frame(kCode);
  const std::string other = Frame(std::string("\x00\x00\x00\x30\x39", 5));
  const std::string read = "read 123456789A", otherRead = "read 0000003039";
  const std::uint64_t gap = TProtRKM530::kLeftFieldMs;
  struct Step {
    std::uint64_t after;  // ms since the step before
    std::string frame;
  };
  std::vector<Step> heldTwoSeconds;
  for (int i = 0; i < 20; ++i) heldTwoSeconds.push_back({100, first});
  std::vector<Step> heldThenShownAgain = heldTwoSeconds;
  heldThenShownAgain.push_back({1000, first});
  const struct {
    const char* name;
    std::vector<Step> steps;
    Events events;
  } cases[] = {
      {"held two seconds, a frame every 100 ms", heldTwoSeconds, {read}},
      {"then taken away and shown again", heldThenShownAgain, {read, read}},
      {"a repeat just inside the quiet gap", {{0, first}, {gap - 1, first}}, {read}},
      {"the same frame after the quiet gap", {{0, first}, {gap, first}}, {read, read}},
      {"a spoilt repeat keeps the badge present",
       {{0, first}, {300, Frame(kCode, 0x0A, 0x01, 0x98)}, {300, first}},
       {read, "badcrc"}},
      {"another badge is always a new read",
       {{0, first}, {100, other}, {100, first}},
       {read, otherRead, read}},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    Start(1);
    for (const auto& step : c.steps) {
      loop.Advance(step.after);
      Block(step.frame);
    }
    EXPECT_EQ(Take(), c.events) << c.name;
  }
}

TEST_F(SLR45Test, BadDataKeepsTheLastBadge) {
  Start(1);
  Block(Frame(kCode));
  Block(Frame("ABCDE", 0x0A, 0x01, 0x00));
  Block(Frame("ABCDE", 0x0A, 0x07));
  EXPECT_EQ(Take(), (Events{"read 123456789A", "badcrc", "badcrc"}));
  EXPECT_EQ(reader->Protocol()->LastTessera(), "123456789A");
}

TEST_F(SLR45Test, TheFirstFrameRestoresAReaderNotYetShownWorking) {
  reader->SetTrack(3);
  reader->SetActive(true);
  Block(Frame(kCode));
  EXPECT_EQ(Take(), (Events{"restore", "read 78187493530"}));
  loop.Advance(55 * 4);
  EXPECT_TRUE(Take().empty());
}

TEST_F(SLR45Test, DeviceErrors) {
  Start();
  struct Case {
    WPARAM command;
    LPARAM code;
    const char* event;
  } cases[] = {{54, 24, "badcrc"},
               {54, 25, "badinsert"},
               {54, 7, "fail"},
               {48, 0, "error Communication error"}};
  for (const auto& c : cases) {
    loop.PostMessage(reader->Handle(), WM_DISP_ERROR, c.command, c.code);
    loop.RunUntilIdle();
    EXPECT_EQ(Take(), Events{c.event});
  }
  // A line error on the port, whatever the reader's state.
  port->SetErrors(platform::kCeFrame);
  port->Receive("x");
  ASSERT_TRUE(loop.PumpUntil([&] { return !events.empty(); }));
  EXPECT_EQ(Take(), Events{"error Communication error"});
}

TEST_F(SLR45Test, APortThatCannotOpenIsRetriedEveryOtherStep) {
  port->openError = "Device or resource busy";
  EXPECT_THROW(reader->SetActive(true), EApdPortError);
  EXPECT_TRUE(reader->Active());
  EXPECT_EQ(reader->Status(), sdTimeout);
  loop.RunUntilIdle();
  EXPECT_EQ(Take(), Events{"timeout"});
  const int before = serial.OpenAttempts(kPort);
  loop.Advance(55 * 10);
  EXPECT_EQ(serial.OpenAttempts(kPort) - before, 5) << "every 110 ms";
  EXPECT_TRUE(Take().empty()) << "shown once";
  port->openError.clear();
  loop.Advance(55 * 2);
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_TRUE(port->IsOpen());
  EXPECT_EQ(port->LastSettings().baudRate, 9600u);
}

TEST_F(SLR45Test, APulledAdapterIsTriedAgainUnderItsPathAndComesBack) {
  table.entries = {{SerialAdapterKind::UsbOther, "cdc_acm", "/dev/ttyACM0"}};
  serial.AddPort("/dev/ttyACM0")->openError = "Device or resource busy";
  Start(1);
  Block("\x02\x0A\x01");  // a read cut short by the pull
  Pull();
  EXPECT_EQ(Take(), Events{"timeout"}) << "once, as a reader problem, not as an error";
  EXPECT_EQ(reader->Protocol()->ComPort(), "COM0");
  EXPECT_FALSE(port->IsOpen());
  const int before = serial.OpenAttempts(kPort);
  loop.Advance(55 * 20);
  EXPECT_EQ(serial.OpenAttempts(kPort) - before, 10) << "the path first, every 110 ms";
  EXPECT_EQ(serial.OpenAttempts("/dev/ttyACM0"), 10) << "then the adapter search";
  EXPECT_TRUE(Take().empty());
  EXPECT_NE(reader->Status(), sdAttivo);

  port = serial.AddPort(kPort);  // plugged back, under the same link
  loop.Advance(55 * 3);
  EXPECT_EQ(Take(), Events{"restore"});
  EXPECT_EQ(reader->Protocol()->ComPort(), kPort);
  Block(Frame(kCode));
  EXPECT_EQ(Take(), Events{"read 123456789A"}) << "the cut read never";
  EXPECT_EQ(serial.OpenAttempts("/dev/ttyACM0"), 10);
}

TEST_F(SLR45Test, TheTimerRestsWhileThePortIsHealthyAndWakesOnItsLoss) {
  Start();
  const auto period = [&] { return loop.TimerPeriod(reader->Handle(), kPollTimerId); };
  loop.Advance(55);  // the step after the restore finds nothing to do
  EXPECT_EQ(period(), kRestingTimerMs) << "an idle reader must not wake the program every 55 ms";
  Block(Frame(kCode));
  EXPECT_EQ(Take(), Events{"read 123456789A<CR>0182591577652<CR>78187493530"});
  loop.Advance(55);
  EXPECT_EQ(period(), kRestingTimerMs);

  port->openError = "No such file or directory";
  Removal(kPort);
  EXPECT_EQ(Take(), Events{"timeout"});
  EXPECT_EQ(period(), 55u) << "a missing port is looked for at the step's own period";
  port->openError.clear();
  loop.Advance(55 * 3);
  EXPECT_EQ(Take(), Events{"restore"});
  loop.Advance(55);
  EXPECT_EQ(period(), kRestingTimerMs);
}

TEST_F(SLR45Test, AnAdapterThatComesBackElsewhereIsFoundBySearching) {
  // A numbered port ("COMn"), and a path that never comes back.
  struct Case {
    const char* com;
    std::string removed;
  } cases[] = {{"COM5", "/dev/COM5"}, {kPort, kPort}};
  for (const auto& c : cases) {
    auto gone = serial.AddPort(c.removed);
    table.entries = {};
    reader->SetActive(false);
    reader->SetCOM(c.com);
    Start(1);
    gone->openError = "No such file or directory";
    Removal(c.removed);
    EXPECT_EQ(Take(), Events{"timeout"}) << c.com;
    loop.Advance(55 * 4);
    EXPECT_TRUE(Take().empty());
    // A Prolific adapter wins over the others; a Silicon Labs one over the rest.
    table.entries = {{SerialAdapterKind::SiliconLabs, "cp210x", "/dev/ttyUSB1"},
                     {SerialAdapterKind::Prolific, "pl2303", "/dev/ttyUSB2"}};
    serial.AddPort("/dev/ttyUSB1");
    serial.AddPort("/dev/ttyUSB2");
    loop.Advance(55 * 3);
    EXPECT_TRUE(Take().empty()) << c.com << ": shown working only once the reader shows itself";
    EXPECT_EQ(reader->Protocol()->ComPort(), "/dev/ttyUSB2") << c.com;
    serial.Port("/dev/ttyUSB2")->Receive(Frame(kCode));
    ASSERT_TRUE(loop.PumpUntil([&] { return !events.empty(); }));
    EXPECT_EQ(Take(), (Events{"restore", "read 123456789A"})) << c.com;
    loop.Advance(TProtRKM530::kTrialMs * 2);
    EXPECT_TRUE(serial.Port("/dev/ttyUSB2")->IsOpen()) << c.com << ": the reader's port is kept";
    reader->SetActive(false);
  }
}

// With another USB serial adapter plugged in (a scanner), the search takes its
// port while the reader is away; the reader's own adapter coming back must
// still win, and the other port must be given back.
TEST_F(SLR45Test, AnotherAdaptersPortIsGivenBackAndTheReaderComesBackOnItsOwn) {
  const std::string scannerPath = "/dev/ttyACM0";
  table.entries = {{SerialAdapterKind::UsbOther, "cdc_acm", scannerPath}};
  auto scanner = serial.AddPort(scannerPath);
  const std::string scannerData = std::string(1, '\x02') + "4006381333931\x03\r\n";
  const std::uint64_t step = 55, trial = TProtRKM530::kTrialMs;
  struct Case {
    const char* name;
    std::uint64_t backAfter;  // ms after the pull that the reader's adapter is back
  } cases[] = {{"back while the other port is tried", 2000},
               {"back after the other port was given back", trial + 5000}};
  for (const auto& c : cases) {
    reader->SetActive(false);
    port = serial.AddPort(kPort);
    Start(1);
    Pull();
    EXPECT_EQ(Take(), Events{"timeout"}) << c.name;
    std::uint64_t t = 0;
    for (; t < c.backAfter; t += step) {
      loop.Advance(step);
      // The scanner's own data is no frame of the reader.
      if (scanner->IsOpen() && t % 1000 == 0) scanner->Receive(scannerData);
    }
    loop.RunUntilIdle();
    EXPECT_TRUE(Take().empty()) << c.name
                                << ": the other port is neither shown working nor an error";
    if (c.backAfter > trial) {
      EXPECT_FALSE(scanner->IsOpen()) << c.name << ": given back after " << trial << " ms";
      const int attempts = serial.OpenAttempts(scannerPath);
      loop.Advance(5000);
      EXPECT_EQ(serial.OpenAttempts(scannerPath), attempts) << c.name << ": passed over";
    }
    port = serial.AddPort(kPort);  // the reader's adapter, back under its link
    std::uint64_t waited = 0;
    while (events.empty() && waited < trial + 1000) {
      loop.Advance(step);
      waited += step;
    }
    EXPECT_EQ(Take(), Events{"restore"}) << c.name;
    EXPECT_LE(waited, trial + 2 * step) << c.name;
    EXPECT_EQ(reader->Protocol()->ComPort(), kPort) << c.name;
    EXPECT_FALSE(scanner->IsOpen()) << c.name;
    Block(Frame(kCode));
    EXPECT_EQ(Take(), Events{"read 123456789A"}) << c.name;
  }
}

TEST_F(SLR45Test, RemovalBroadcasts) {
  struct Case {
    const char* name;
    std::string removed;
    bool active;
    Events events;
  } cases[] = {
      {"its port", kPort, true, {"timeout"}},
      {"its port in other letter case", "/DEV/SERIAL/BY-ID/USB-READER-PORT0", true, {"timeout"}},
      {"another port", "/dev/ttyUSB7", true, {}},
      {"a reader switched off", kPort, false, {}},
  };
  for (const auto& c : cases) {
    reader->SetActive(false);
    Start(1);
    if (!c.active) reader->SetActive(false);
    Take();
    Removal(c.removed);
    EXPECT_EQ(Take(), c.events) << c.name;
    EXPECT_EQ(port->IsOpen(), c.events.empty() && c.active) << c.name;
    EXPECT_EQ(reader->Active(), c.active) << c.name;
    // Other device-change events and records are no removal of a port.
    loop.BroadcastDeviceChange(platform::DBT_DEVICEARRIVAL, platform::PortBroadcastParam(kPort));
    loop.BroadcastDeviceChange(platform::DBT_DEVICEREMOVECOMPLETE, 0);
    static const platform::TDevBroadcastHdr kInterface{sizeof(platform::TDevBroadcastHdr), 5, 0};
    loop.BroadcastDeviceChange(platform::DBT_DEVICEREMOVECOMPLETE,
                               reinterpret_cast<LPARAM>(&kInterface));
    loop.RunUntilIdle();
    EXPECT_TRUE(Take().empty()) << c.name;
  }
  // A second notice of the same removal (the broadcast after the hang-up)
  // changes nothing more.
  reader->SetActive(false);
  Start(1);
  Pull();
  Removal(kPort);
  EXPECT_EQ(Take(), Events{"timeout"});
}

TEST_F(SLR45Test, ClassAndTrackCodes) {
  EXPECT_TRUE(TSLR45BadgeReader::TrackSupported(1));
  EXPECT_TRUE(TSLR45BadgeReader::TrackSupported(7));
  EXPECT_FALSE(TSLR45BadgeReader::TrackSupported(8));
  EXPECT_TRUE(TSLR45BadgeReader::IsStripe());
  EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(0); }), "Tack value invalid: use 1 to 7");
  EXPECT_EQ(test::BadgeErrorOf([&] { reader->SetTrack(8); }), "Tack value invalid: use 1 to 7");
  EXPECT_EQ(reader->TimerInterval(), 55);
  EXPECT_EQ(reader->Status(), sdTimeout);
  EXPECT_EQ(reader->StatoTessera(), csNoBadge);
  Start(5);
  EXPECT_EQ(reader->Protocol()->Track(), 5);
  reader->SetTrack(2);
  EXPECT_EQ(reader->Protocol()->Track(), 2);
  serial.AddPort("/dev/COM4");
  reader->SetCOM(" COM4 ");
  EXPECT_EQ(reader->Protocol()->ComPort(), "COM4");
  EXPECT_EQ(reader->Protocol()->HomePath(), "COM4") << "a numbered port is tried first too";
}

}  // namespace
}  // namespace lumbra
