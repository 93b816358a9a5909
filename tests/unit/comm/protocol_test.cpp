#include "comm/protocol.h"

#include <gtest/gtest.h>

#include "base/AppException.h"
#include "comm/comWin32.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/fake/FakeSerial.h"

namespace lumbra {
namespace {

using platform::FakeMessageLoop;
using platform::FakeSerialBackend;

class RecordingProtocol : public TProtocol {
 public:
  using TProtocol::TProtocol;
  void ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) override {
    chunks.push_back(Len);
    data.append(reinterpret_cast<const char*>(Buffer), static_cast<size_t>(Len));
    if (throwOnData) throw Exception("bad frame");
  }
  void InitProtocol() override { ++inits; }
  void Own() { FOwnVettore = true; }
  std::int32_t Current() const { return DispAct; }
  void SetCurrent(std::int32_t i) { DispAct = i; }

  std::vector<std::int32_t> chunks;
  std::string data;
  int inits = 0;
  bool throwOnData = false;
};

class ReleaseTracker : public TComm32 {
 public:
  ReleaseTracker(platform::HWND h, bool* released) : TComm32(h), fReleased(released) {}
  ~ReleaseTracker() override { *fReleased = true; }

 private:
  bool* fReleased;
};

class Telegram : public TObject {
 public:
  explicit Telegram(int* count) : fCount(count) {}
  ~Telegram() override { ++*fCount; }

 private:
  int* fCount;
};

std::string Pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  return s;
}

class ProtocolTest : public ::testing::Test {
 protected:
  ProtocolTest() {
    loop.Install();
    serial.Install();
    port = serial.AddPort("/dev/ttyS0");
    host = loop.CreateMessageWindow([](platform::TMessage&) {});
    comm.reset(new TComm32(host));
    comm->SetDeviceName("/dev/ttyS0");
    proto.reset(new RecordingProtocol(7, host, comm.get()));
  }
  ~ProtocolTest() override {
    proto.reset();
    comm.reset();
  }

  FakeMessageLoop loop;
  FakeSerialBackend serial;
  std::shared_ptr<platform::FakeSerialPort> port;
  platform::HWND host = 0;
  Owned<TComm32> comm;
  Owned<RecordingProtocol> proto;
};

TEST_F(ProtocolTest, BurstIsParsedInChunksOfTheBufferSize) {
  proto->SetEnabled(true);
  ASSERT_TRUE(proto->Enabled());
  EXPECT_EQ(proto->inits, 1);
  const std::string burst = Pattern(20000);
  port->Receive(burst);
  proto->VectorReceive(comm.get(), 20000);
  EXPECT_EQ(proto->chunks, (std::vector<std::int32_t>{8192, 8192, 3616}));
  EXPECT_EQ(proto->data, burst);
}

TEST_F(ProtocolTest, BurstThroughTheEventThreadLosesNothing) {
  proto->SetEnabled(true);
  const std::string burst = Pattern(20000);
  port->Receive(burst);
  ASSERT_TRUE(loop.PumpUntil([&] { return proto->data.size() >= burst.size(); }));
  EXPECT_EQ(proto->data, burst);
  for (auto n : proto->chunks) EXPECT_LE(n, TProtocol::kChunk);
}

TEST_F(ProtocolTest, NothingIsReadForNoCountOrWhileDisabled) {
  port->Receive("abc");
  proto->VectorReceive(comm.get(), 3);  // disabled
  proto->SetEnabled(true);
  proto->VectorReceive(comm.get(), 0);
  proto->VectorReceive(comm.get(), -5);
  EXPECT_TRUE(proto->chunks.empty());
  EXPECT_EQ(comm->InQueCount(), 3);
}

TEST_F(ProtocolTest, ParserErrorsGoToTheApplicationHandler) {
  std::string handled;
  SetApplicationExceptionHandler(
      [&](TObject*, const std::exception& e) { handled = e.what(); });
  proto->SetEnabled(true);
  proto->throwOnData = true;
  port->Receive("x");
  proto->VectorReceive(comm.get(), 1);
  SetApplicationExceptionHandler(nullptr);
  EXPECT_EQ(handled, "bad frame");
  EXPECT_TRUE(comm->Enabled());
}

TEST_F(ProtocolTest, EnablingWithoutTransportStaysOff) {
  Owned<RecordingProtocol> bare(new RecordingProtocol(1, host, nullptr));
  bare->SetEnabled(true);
  EXPECT_FALSE(bare->Enabled());
  EXPECT_EQ(bare->inits, 0);
  EXPECT_FALSE(bare->SendFrame("x"));
}

TEST_F(ProtocolTest, OpeningFailureReachesTheCaller) {
  comm->SetDeviceName("/dev/ttyS9");
  EXPECT_THROW(proto->SetEnabled(true), ECommError);
  EXPECT_FALSE(proto->Enabled());
}

TEST_F(ProtocolTest, SendFrameReportsShortOrRefusedWrites) {
  EXPECT_FALSE(proto->SendFrame("abc"));  // closed
  proto->SetEnabled(true);
  EXPECT_TRUE(proto->SendFrame("abc"));
  EXPECT_EQ(port->Written(), "abc");
}

TEST_F(ProtocolTest, BorrowedTransportIsUnboundOwnedOneReleased) {
  EXPECT_EQ(comm->ID(), 7);
  proto->SetVector(comm.get());  // same transport: nothing
  EXPECT_TRUE(comm->OnReceive);
  bool released = false;
  auto* owned = new ReleaseTracker(host, &released);
  proto->SetVector(owned);
  EXPECT_EQ(comm->ID(), 0);
  EXPECT_FALSE(comm->OnReceive);
  EXPECT_FALSE(comm->OnConnect);
  EXPECT_FALSE(comm->OnDisconnect);
  proto->Own();
  bool releasedToo = false;
  proto->SetVector(new ReleaseTracker(host, &releasedToo));
  EXPECT_TRUE(released);
  proto.reset();
  EXPECT_TRUE(releasedToo);
}

TEST_F(ProtocolTest, ConnectionEventsAreRelayed) {
  int connects = 0, disconnects = 0;
  proto->OnConnect = [&](TObject*, std::int32_t) { ++connects; };
  proto->OnDisconnect = [&](TObject*, std::int32_t) { ++disconnects; };
  proto->SetEnabled(true);
  proto->SetEnabled(false);
  EXPECT_EQ(connects, 1);
  EXPECT_EQ(disconnects, 1);
}

TEST_F(ProtocolTest, FrameNumbersRunFrom1To255) {
  TStdDisp d(1);
  for (int i = 1; i <= 255; ++i) ASSERT_EQ(proto->NextNumTrama(d), i);
  EXPECT_EQ(proto->NextNumTrama(d), 1);
}

TEST_F(ProtocolTest, DescriptorList) {
  TStdDisp* a = proto->MakeDesc(10);
  EXPECT_EQ(a->Protocol, proto.get());
  EXPECT_EQ(proto->DispCount(), 0);
  proto->InsertDesc(a);
  proto->InsertDesc(proto->MakeDesc(20));
  proto->InsertDesc(proto->MakeDesc(20));
  EXPECT_EQ(proto->FindDisp(20), proto->GetDisp(1));
  EXPECT_EQ(proto->DispIndex(a), 0);
  EXPECT_THROW(proto->GetDisp(3), ERangeError);
  proto->SetCurrent(1);
  proto->DeleteDesc(1);
  EXPECT_EQ(proto->Current(), -1);
  EXPECT_FALSE(proto->RemoveDescAddress(99));
  TStdDisp stray(5);
  EXPECT_FALSE(proto->RemoveDesc(&stray));
  EXPECT_TRUE(proto->RemoveDescAddress(20));
  EXPECT_EQ(proto->DispCount(), 1);
  proto->ClearDispList();
  EXPECT_EQ(proto->DispCount(), 0);
}

TEST(StdDispTest, TelegramQueueOwnsEachTelegramOnce) {
  int freed = 0;
  {
    TStdDisp d(1);
    auto* t = new Telegram(&freed);
    d.AddTele(t);
    d.AddTele(t);
    d.AddTele(new Telegram(&freed));
    EXPECT_EQ(d.GetTeleCount(), 2);
    auto& list = d.GetTele();
    EXPECT_EQ(list.front(), t);
    d.ReleaseTele();
    d.TimerProc();
    EXPECT_EQ(d.Ticks.load(), 1);
  }
  EXPECT_EQ(freed, 2);
}

TEST(StdDispTest, QueueLockIsHeldBetweenGetAndRelease) {
  TStdDisp d(1);
  int freed = 0;
  d.GetTele();
  std::atomic<bool> added{false};
  std::thread other([&] {
    d.AddTele(new Telegram(&freed));
    added = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(added);
  d.ReleaseTele();
  other.join();
  EXPECT_EQ(d.GetTeleCount(), 1);
}

TEST(ProcessOneMessageTest, HandlesOneWaitingMessage) {
  FakeMessageLoop loop;
  loop.Install();
  EXPECT_FALSE(ProcessOneMessage());
  int got = 0;
  platform::HWND h = loop.CreateMessageWindow([&](platform::TMessage&) { ++got; });
  loop.PostMessage(h, 2000, 0, 0);
  loop.PostMessage(h, 2001, 0, 0);
  EXPECT_TRUE(ProcessOneMessage());
  EXPECT_EQ(got, 1);
  EXPECT_TRUE(ProcessOneMessage());
  EXPECT_FALSE(ProcessOneMessage());
}

}  // namespace
}  // namespace lumbra
