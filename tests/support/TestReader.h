#pragma once
// Reader models that exist only in tests. Their "protocol" is a worker thread
// that posts notification messages to the driver's window, as a real protocol
// does from a port's event thread.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>

#include "reader/CustomBadgeReader.h"

namespace lumbra::test {

class TTestProtocol {
 public:
  explicit TTestProtocol(HWND host);
  ~TTestProtocol();

  // Queued to the worker thread, which posts it to the host window.
  void Post(std::uint32_t msg, WPARAM wParam, LPARAM lParam);
  // A badge: the data is kept for GetReadData and a data-ready read result
  // posted with it, as the protocols post theirs.
  void Swipe(const AnsiString& data);
  AnsiString ReadData();
  std::atomic<TStatiDispo> status{sdStart};
  std::atomic<std::uint8_t> cardStatus{csNoBadge};
  std::atomic<int> ticks{0};

 private:
  void Run();
  HWND fHost;
  std::mutex fMutex;
  std::condition_variable fWake;
  struct Item {
    TMessage msg;
    std::optional<AnsiString> badge;
  };
  std::deque<Item> fQueue;
  AnsiString fData;
  bool fStop = false;
  std::thread fThread;
};

// Behaviour switches shared by every test reader; reset by ResetTestReaders().
struct TestReaderKnobs {
  bool failActivate = false;   // SetActive(true) raises
  bool failConfigure = false;  // SetCOM raises while the facade configures the driver
  std::string comSuffix;       // appended to every COM the driver is given
  TStatiDispo initialStatus = sdStart;  // what a new protocol reports
  int created = 0;
  int destroyed = 0;
};
TestReaderKnobs& Knobs();

// A multi-track stripe reader/writer supporting both coercivities.
class TTestBadgeReader : public TCustomBadgeReader {
  LUMBRA_READER_CLASS(TTestBadgeReader)
 public:
  explicit TTestBadgeReader(TComponent* AOwner);
  ~TTestBadgeReader() override;

  static bool IsWriter() { return true; }
  static bool IsStripe() { return true; }
  static bool TrackSupported(std::int32_t t) { return t >= 1 && t <= 7; }
  static bool CoercitivitySupported(TCoercitivity) { return true; }

  void SetTrack(std::int32_t value) override;
  void SetBpi(std::int32_t value) override { fBPI = value; }
  void SetCOM(const std::string& value) override;
  void SetActive(bool value) override;
  long double Startmm() const override { return fStartmm; }
  void SetStartmm(long double value) override { fStartmm = value; }
  AnsiString GetReadData() override;
  TStatiDispo Status() const override;
  std::uint8_t StatoTessera() override;
  void DoTimerTick() override;
  void CreateProtocol() override;
  void FreeProtocol() override;
  void WriteTrackData(const AnsiString& data, std::uint8_t track) override;

  TTestProtocol* Protocol() { return fProtocol.get(); }
  AnsiString writtenData;
  int writtenTrack = -1;

 private:
  std::unique_ptr<TTestProtocol> fProtocol;
  long double fStartmm = 7.5L;
};

// A plain reader of track 2, low coercivity only, that cannot write.
class TTestTrack2Reader : public TTestBadgeReader {
  LUMBRA_READER_CLASS(TTestTrack2Reader)
 public:
  using TTestBadgeReader::TTestBadgeReader;
  static bool IsWriter() { return false; }
  static bool TrackSupported(std::int32_t t) { return t == 2; }
  static bool CoercitivitySupported(TCoercitivity c) { return c == loco; }
  void WriteTrackData(const AnsiString& data, std::uint8_t track) override {
    TCustomBadgeReader::WriteTrackData(data, track);
  }
};

inline constexpr char kTestMultiModel[] = "TEST-MULTI";
inline constexpr char kTestTrack2Model[] = "TEST-T2";

// Registers both models (and resets the knobs); Unregister removes them.
void RegisterTestReaders();
void UnregisterTestReaders();

}  // namespace lumbra::test
