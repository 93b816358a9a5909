#pragma once
// The abstract driver of one badge reader and the process-wide registry of
// reader models.
//
// A driver's protocol may run in other threads; it never raises events itself
// but posts the device messages to the driver's window (Handle()). The driver
// turns them into events on the UI thread.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/Exceptions.h"
#include "base/Text.h"
#include "comm/DeviceMessages.h"
#include "comm/WComp.h"
#include "comm/statiDispo.h"
#include "reader/protoGEConst.h"

namespace lumbra {

// Card status values.
inline constexpr std::uint8_t csNone = 0;
inline constexpr std::uint8_t csNoBadge = 1;
inline constexpr std::uint8_t csInserted = 2;
inline constexpr std::uint8_t csHalfInserted = 3;

// Tracks of a multi-track read travel in one string, separated by this byte.
inline constexpr char TrackSeparator = '\r';

// Operation codes of CurrentOperation and of write-done notifications.
inline constexpr std::int32_t opRead = 54;
inline constexpr std::int32_t opWrite = 55;

inline constexpr std::uintptr_t kPollTimerId = 1;
// Period of a driver timer at rest (see TCustomBadgeReader::RestTimer).
inline constexpr std::uint32_t kRestingTimerMs = 1000;

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TReadedTesEvent = std::function<void(TObject* Sender, const AnsiString& tessera)>;
using TChangedSBEvent = std::function<void(TObject* Sender, std::int32_t newstato)>;
using TWBErrorEvent = std::function<void(TObject* Sender, std::uint8_t command,
                                         std::uint8_t errorcode, const std::string& msg)>;

class EBadgeError : public Exception {
 public:
  using Exception::Exception;
};

class TCustomBadgeReader;

// A track code as the byte the track operations take; outside 0 to 255 it
// raises ERangeError.
std::uint8_t TrackCodeAsByte(std::int32_t track);

// What the registry knows of a model's driver class: how to make one, and the
// class queries, which need no instance.
class TBadgeReaderClass {
 public:
  virtual ~TBadgeReaderClass() = default;
  virtual TCustomBadgeReader* Create(TComponent* AOwner) const = 0;
  virtual bool IsWriter() const = 0;
  virtual bool TrackSupported(std::int32_t trackcode) const = 0;
  virtual bool CoercitivitySupported(TCoercitivity coer) const = 0;
  virtual bool IsStripe() const = 0;
  // The port the program shows for a model that finds its reader by itself;
  // empty for the models that use the port chosen in the settings.
  virtual std::string FixedPort() const { return {}; }
};

// The class descriptor of a driver type T. T provides static IsWriter,
// TrackSupported, CoercitivitySupported and IsStripe (the base ones answer
// false) and a constructor taking the owner.
template <class T>
class TBadgeReaderClassOf final : public TBadgeReaderClass {
 public:
  TCustomBadgeReader* Create(TComponent* AOwner) const override { return new T(AOwner); }
  bool IsWriter() const override { return T::IsWriter(); }
  bool TrackSupported(std::int32_t trackcode) const override {
    return T::TrackSupported(trackcode);
  }
  bool CoercitivitySupported(TCoercitivity coer) const override {
    return T::CoercitivitySupported(coer);
  }
  bool IsStripe() const override { return T::IsStripe(); }
  std::string FixedPort() const override { return T::FixedPort(); }
};

template <class T>
const TBadgeReaderClass& ReaderClassOf() {
  static const TBadgeReaderClassOf<T> descriptor;
  return descriptor;
}

// Put in a concrete driver's class body.
#define LUMBRA_READER_CLASS(T)                                    \
 public:                                                          \
  const ::lumbra::TBadgeReaderClass& ClassType() const override { \
    return ::lumbra::ReaderClassOf<T>();                          \
  }

class TCustomBadgeReader : public TCustomWindowedComponent {
 public:
  explicit TCustomBadgeReader(TComponent* AOwner);
  ~TCustomBadgeReader() override;
  // Switches the driver off through the virtual write of Active, while the
  // whole driver is still alive.
  void BeforeDestruction() override;

  // The class of this object, for the class queries.
  virtual const TBadgeReaderClass& ClassType() const = 0;

  // Class queries of the base: a model that declares nothing supports nothing.
  static bool IsWriter() { return false; }
  static bool TrackSupported(std::int32_t) { return false; }
  static bool CoercitivitySupported(TCoercitivity) { return false; }
  static bool IsStripe() { return false; }
  static std::string FixedPort() { return {}; }

  // Properties.
  std::int32_t Track() const { return fTrack; }
  std::int32_t Bpi() const { return fBPI; }
  TCoercitivity Coercitivity() const { return fCoercitivity; }
  std::int32_t TimeoutWrite() const { return fTimeoutWrite; }
  const std::string& COM() const { return fCom; }
  bool CheckCRCTes() const { return fCheckCRCTes; }
  bool Crypt() const { return fCrypt; }
  std::int32_t TimerInterval() const { return fTimerInterval; }
  const AnsiString& LastTessera() const { return flasttessera; }

  // Virtual operations, in slot order.
  virtual void SetTimeoutWrite(std::int32_t value);
  virtual void SetCoercitivity(TCoercitivity value);
  virtual void DoTimeout(TMessage& Msg);
  virtual void DoRestore(TMessage& Msg);
  virtual void DoDeviceError(TMessage& Msg);
  virtual void DoWriteDone(TMessage& Msg);
  virtual void SetTrack(std::int32_t value);
  virtual void SetBpi(std::int32_t value);
  virtual void SetCOM(const std::string& value);
  virtual bool Active() const;
  virtual void SetActive(bool value);
  virtual long double Startmm() const;
  virtual void SetStartmm(long double value);
  virtual AnsiString DispVersion() const;
  virtual AnsiString GetReadData() = 0;
  virtual void DoTimerTick();
  virtual TStatiDispo Status() const = 0;
  virtual void SetCheckCRCTes(bool value);
  virtual void SetCrypt(bool value);
  virtual void CreateProtocol() = 0;
  virtual void FreeProtocol() = 0;
  virtual void WriteTrackData(const AnsiString& data, std::uint8_t track);
  virtual std::uint8_t StatoTessera();
  virtual std::int32_t CurrentOperation();
  virtual void Inizializza();
  virtual void ReadTessera(std::uint8_t aTrack);
  virtual void WriteTessera(const AnsiString& CodTessera, std::uint8_t aTrack);
  virtual void EjectTessera();
  virtual void EjectBack();
  virtual void CaptureTessera();
  virtual void ResetOperation();
  virtual void SetLed(bool statoLed1, bool statoLed2, bool statoLed3, bool statoled4);
  virtual void SetBuzzer(std::uint8_t numBeeps);
  virtual void SetReadWriteRetry(std::uint8_t num);

  // English aliases. The track is passed as a byte: a track code outside 0 to
  // 255 raises ERangeError and nothing is done.
  std::uint8_t CardStatus() { return StatoTessera(); }
  void Initialize() { Inizializza(); }
  void ReadCard();
  void WriteCard(const AnsiString& CardCode);
  void EjectCard() { EjectTessera(); }
  void CaptureCard() { CaptureTessera(); }

  TReadedTesEvent OnReadedBadge;
  TChangedSBEvent OnChangedBadgeStatus;
  TNotifyEvent OnBadCRCData;
  TNotifyEvent OnFailReadBadge;
  TNotifyEvent OnBadInsertBadge;
  TNotifyEvent OnTimeout;
  TNotifyEvent OnRestore;
  TWBErrorEvent OnError;
  TNotifyEvent OnWritedBadge;

  // The text of a device error code in the base table; empty when unknown.
  static std::string DeviceErrorText(std::uint32_t code);

 protected:
  void DoMessage(TMessage& Msg, bool& Handled) override;
  void DoReadResult(LPARAM result);
  // Runs the driver's own switching, then the base operation (the window
  // timer) whatever happened, so that a reader whose port cannot be opened
  // yet is retried by its timer; a failure of own still reaches the caller.
  void SetActiveAnyway(bool value, const std::function<void()>& own);
  // Frees a driver's protocol: the pointer is cleared first, so nothing
  // reached while freeing finds a protocol half gone. Reads it posted and the
  // window has not handled yet keep their texts (comm/ReadTexts.h).
  template <class P>
  void ReleaseProtocol(P*& prot) {
    P* p = prot;
    prot = nullptr;
    if (p != nullptr) TObject::Free(p);
  }
  // The drivers' switching: on makes the protocol when there is none and
  // enables it, off frees it; then after, if given.
  template <class P>
  void SwitchProtocol(bool value, P*& prot, const std::function<void()>& after = nullptr) {
    SetActiveAnyway(value, [&] {
      if (value) {
        if (prot == nullptr) CreateProtocol();
        prot->SetEnabled(true);
      } else if (prot != nullptr) {
        FreeProtocol();
      }
      if (after) after();
    });
  }
  // A driver whose timer step has nothing to do while its port stays healthy
  // lets the timer rest between steps: an idle program then wakes about once a
  // second instead of every few tens of milliseconds. The port's own notice
  // that it ended (WM_PORT_ENDED), a new setting or switching on brings the
  // step back at its own period; the notice also runs a step at once.
  void RestTimer();
  void WakeTimer();
  bool TimerResting() const { return fTimerResting; }
  // One timer step: not while another runs (a step that pumps messages must
  // not start a second one), and afterwards the timer rests when idle says the
  // next step would change nothing.
  void RunTimerStep(bool& inTimer, const std::function<void()>& step,
                    const std::function<bool()>& idle = nullptr);
  // Errors of a read as the models report them: 24 a bad check, 25 a badly
  // inserted card, any other a failed read; errors of other operations as the
  // base reports them.
  void DoReadDeviceError(TMessage& Msg);

  bool fCheckCRCTes = true;
  bool fCrypt = true;
  std::int32_t fBPI = 0;
  std::string fCom;
  std::int32_t fTimerInterval = 200;
  bool fActive = false;
  std::int32_t fTrack = 2;
  TCoercitivity fCoercitivity = loco;
  AnsiString flasttessera;
  std::int32_t fTimeoutWrite = 0;

 private:
  bool fTimerResting = false;
};

// Model registry: names compare without regard to letter case, the list stays
// in case-insensitive alphabetical order, and the first registration of a name
// wins. Changed only at start-up and shutdown, from the UI thread.
void RegisterBadgeReader(const std::string& name, const TBadgeReaderClass& cls);
void UnregisterBadgeReader(const std::string& name);
const TBadgeReaderClass* FindBadgeReader(const std::string& name);
void GetBadgeReaderModels(std::vector<std::string>& list);

}  // namespace lumbra
