#include "support/TestReader.h"

#include "comm/ReadTexts.h"
#include "platform/MessageLoop.h"

namespace lumbra::test {

TTestProtocol::TTestProtocol(HWND host) : fHost(host), fThread([this] { Run(); }) {}

TTestProtocol::~TTestProtocol() {
  {
    std::lock_guard lock(fMutex);
    fStop = true;
  }
  fWake.notify_all();
  fThread.join();
}

void TTestProtocol::Post(std::uint32_t msg, WPARAM wParam, LPARAM lParam) {
  {
    std::lock_guard lock(fMutex);
    fQueue.push_back(Item{TMessage{msg, wParam, lParam, 0}, std::nullopt});
  }
  fWake.notify_all();
}

void TTestProtocol::Swipe(const AnsiString& data) {
  {
    std::lock_guard lock(fMutex);
    fData = data;
    fQueue.push_back(Item{TMessage{WM_TESSERA_READ, 0, trDataReady, 0}, data});
  }
  fWake.notify_all();
}

AnsiString TTestProtocol::ReadData() {
  std::lock_guard lock(fMutex);
  return fData;
}

void TTestProtocol::Run() {
  std::unique_lock lock(fMutex);
  for (;;) {
    fWake.wait(lock, [this] { return fStop || !fQueue.empty(); });
    if (fQueue.empty()) return;  // stopping, nothing left
    Item item = fQueue.front();
    fQueue.pop_front();
    lock.unlock();
    if (item.badge)
      PostTesseraRead(fHost, item.msg.WParam, *item.badge);
    else
      platform::MessageLoop().PostMessage(fHost, item.msg.Msg, item.msg.WParam, item.msg.LParam);
    lock.lock();
  }
}

TestReaderKnobs& Knobs() {
  static TestReaderKnobs knobs;
  return knobs;
}

TTestBadgeReader::TTestBadgeReader(TComponent* AOwner) : TCustomBadgeReader(AOwner) {
  ++Knobs().created;
}

TTestBadgeReader::~TTestBadgeReader() { ++Knobs().destroyed; }

void TTestBadgeReader::SetTrack(std::int32_t value) {
  if (!ClassType().TrackSupported(value)) throw EBadgeError("Track not supported");
  TCustomBadgeReader::SetTrack(value);
}

void TTestBadgeReader::SetCOM(const std::string& value) {
  if (Knobs().failConfigure) throw EBadgeError("Port refused");
  TCustomBadgeReader::SetCOM(value + Knobs().comSuffix);
}

void TTestBadgeReader::SetActive(bool value) {
  if (value == fActive) return;
  if (value) {
    if (Knobs().failActivate) throw EBadgeError("Cannot open port");
    CreateProtocol();
  } else {
    FreeProtocol();
  }
  TCustomBadgeReader::SetActive(value);
}

AnsiString TTestBadgeReader::GetReadData() { return fProtocol ? fProtocol->ReadData() : ""; }

TStatiDispo TTestBadgeReader::Status() const {
  return fProtocol ? fProtocol->status.load() : sdStart;
}

std::uint8_t TTestBadgeReader::StatoTessera() {
  return fProtocol ? fProtocol->cardStatus.load() : csNone;
}

void TTestBadgeReader::DoTimerTick() {
  if (fProtocol) ++fProtocol->ticks;
}

void TTestBadgeReader::CreateProtocol() {
  fProtocol = std::make_unique<TTestProtocol>(Handle());
  fProtocol->status = Knobs().initialStatus;
}
void TTestBadgeReader::FreeProtocol() { fProtocol.reset(); }

void TTestBadgeReader::WriteTrackData(const AnsiString& data, std::uint8_t track) {
  writtenData = data;
  writtenTrack = track;
}

void RegisterTestReaders() {
  Knobs() = TestReaderKnobs{};
  RegisterBadgeReader(kTestMultiModel, ReaderClassOf<TTestBadgeReader>());
  RegisterBadgeReader(kTestTrack2Model, ReaderClassOf<TTestTrack2Reader>());
}

void UnregisterTestReaders() {
  UnregisterBadgeReader(kTestMultiModel);
  UnregisterBadgeReader(kTestTrack2Model);
}

}  // namespace lumbra::test
