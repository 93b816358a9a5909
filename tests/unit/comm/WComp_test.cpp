#include "comm/WComp.h"

#include <gtest/gtest.h>

#include "base/AppException.h"
#include "base/Exceptions.h"
#include "comm/wmProtocol.h"
#include "platform/fake/FakeMessageLoop.h"

namespace lumbra {
namespace {

struct Counting : TStdMessage {
  explicit Counting(int* c) : counter(c) {}
  ~Counting() override { ++*counter; }
  int* counter;
};

class Recorder : public TCustomWindowedComponent {
 public:
  using TCustomWindowedComponent::TCustomWindowedComponent;
  std::vector<std::uint32_t> hooked, defaulted;
  std::uint32_t handles = 0;  // message number the hook marks handled
  void DefaultHandler(TMessage& Msg) override {
    defaulted.push_back(Msg.Msg);
    TCustomWindowedComponent::DefaultHandler(Msg);
  }

 protected:
  void DoMessage(TMessage& Msg, bool& Handled) override {
    hooked.push_back(Msg.Msg);
    Handled = Msg.Msg == handles;
  }
};

class WCompTest : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.Install();
    SetApplicationExceptionHandler([this](TObject* sender, const std::exception& e) {
      errors.push_back(e.what());
      senders.push_back(sender);
    });
  }
  void TearDown() override { SetApplicationExceptionHandler(nullptr); }
  platform::FakeMessageLoop loop;
  std::vector<std::string> errors;
  std::vector<TObject*> senders;
};

TEST_F(WCompTest, WindowIsMadeOnFirstUseAndKept) {
  Recorder r(nullptr);
  EXPECT_FALSE(r.HandleAllocated());
  EXPECT_EQ(loop.WindowCount(), 0u);
  HWND h = r.Handle();
  EXPECT_NE(h, 0u);
  EXPECT_TRUE(r.HandleAllocated());
  EXPECT_EQ(r.Handle(), h);
  EXPECT_EQ(loop.WindowCount(), 1u);
}

TEST_F(WCompTest, HandledMessagesSkipTheDefaultHandler) {
  Recorder r(nullptr);
  r.handles = 5000;
  loop.PostMessage(r.Handle(), 5000, 0, 0);
  loop.PostMessage(r.Handle(), 5001, 0, 0);
  loop.RunUntilIdle();
  EXPECT_EQ(r.hooked, (std::vector<std::uint32_t>{5000, 5001}));
  EXPECT_EQ(r.defaulted, (std::vector<std::uint32_t>{5001}));
}

TEST_F(WCompTest, EventComponentWithoutHandlerGivesEverythingToDefaultHandling) {
  TWindowedComponent w(nullptr);
  std::vector<std::uint32_t> seen;
  loop.PostMessage(w.Handle(), 4000, 0, 0);
  loop.RunUntilIdle();  // no handler: nothing to see, nothing thrown
  w.OnMessage = [&](TMessage& m, bool& handled) {
    seen.push_back(m.Msg);
    handled = true;
  };
  loop.PostMessage(w.Handle(), 4001, 0, 0);
  loop.RunUntilIdle();
  EXPECT_EQ(seen, (std::vector<std::uint32_t>{4001}));
}

TEST_F(WCompTest, ExceptionsInHandlersReachTheApplicationHandlerAndTheLoopGoesOn) {
  TWindowedComponent w(nullptr);
  int after = 0;
  w.OnMessage = [&](TMessage& m, bool&) {
    if (m.Msg == 1) throw Exception("handler failed");
    if (m.Msg == 99) throw 42;  // not an exception class at all
    ++after;
  };
  loop.PostMessage(w.Handle(), 1, 0, 0);
  loop.PostMessage(w.Handle(), 99, 0, 0);
  loop.PostMessage(w.Handle(), 2, 0, 0);
  EXPECT_NO_THROW(loop.RunUntilIdle());
  EXPECT_EQ(errors, (std::vector<std::string>{"handler failed", "Unknown error"}));
  EXPECT_EQ(senders[0], &w);
  EXPECT_EQ(after, 1);

  SetApplicationExceptionHandler(nullptr);  // without a handler the error is dropped
  loop.PostMessage(w.Handle(), 1, 0, 0);
  EXPECT_NO_THROW(loop.RunUntilIdle());
}

TEST_F(WCompTest, NoticeToAWindowThatIsGoneIsReleasedByThePoster) {
  int released = 0;
  HWND h;
  {
    TWindowedComponent w(nullptr);
    h = w.Handle();
    ASSERT_TRUE(PostStdMessage(h, std::make_unique<Counting>(&released)));
    EXPECT_EQ(released, 0);
    w.OnMessage = [](TMessage& m, bool& handled) {
      TakeStdMessage(m.LParam);
      handled = true;
    };
    loop.RunUntilIdle();
    EXPECT_EQ(released, 1);  // the receiver released it
  }
  EXPECT_FALSE(PostStdMessage(h, std::make_unique<Counting>(&released)));
  EXPECT_EQ(released, 2);
}

}  // namespace
}  // namespace lumbra
