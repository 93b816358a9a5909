#pragma once
// The protocol of the SLR-45 proximity reader. Whenever a badge is in its
// field the reader sends, unasked, one frame with the badge's five-byte code:
//
//   STX, first byte, second byte (1 or 2), c0..c4, check byte, [ignored...], ETX
//
// where the check byte is the exclusive or of the seven bytes before it. An
// ETX among the first eight bytes after STX is data. The host never sends
// anything. The code is rendered as hexadecimal, split decimal or long
// decimal text, or a combination of them chosen by the track code.
//
// The port holder watches for the removal of the reader's USB serial adapter
// (a device-change broadcast naming its port, or the open port's own
// hang-up); the protocol then searches for the adapter until it is back.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Text.h"
#include "comm/AdPort.h"
#include "comm/statiDispo.h"

namespace lumbra {

class TProtRKM530;

// The badge text of the five code bytes for a track code (1 to 7); false for
// a code outside 1 to 7.
bool RenderBadgeCode(const std::uint8_t* code, std::int32_t trackCode, AnsiString& out);

// The port holder: the event-driven port, and a hidden window that receives
// the device-change broadcasts.
class TdmProtrf : public TPortHolder {
 public:
  explicit TdmProtrf(TComponent* AOwner);

  TWindowedComponent* wc1;
  TProtRKM530* fProto = nullptr;

  void DataModuleCreate();
  void wc1Message(TMessage& Msg, bool& Handled);
  // A device-change broadcast: the removal of the protocol's own port stops
  // it and sets it looking for the adapter.
  void PortRemoved(TMessage& Msg);

 protected:
  bool HasProto() const override { return fProto != nullptr; }
  void ProtoReceive(const std::uint8_t* buffer, std::int32_t count) override;
  platform::HWND ProtoOwner() const override;

 private:
  void LineError(TObject* CP, std::uint16_t Error, bool LineBreak);
  void Unplugged();
};

class TProtRKM530 : public TObject {
 public:
  static constexpr std::int32_t kMaxFrameBytes = 512;
  // The reader repeats its frame for as long as a badge stays in its field
  // (every 100 ms or so, some readers up to a few hundred). A badge counts as
  // gone once no frame of it came for this long: several repeats may be lost
  // to noise without a second read, while a person who takes the badge away
  // and shows it again needs well over a second to do so.
  static constexpr std::uint64_t kLeftFieldMs = 500;
  // A port the adapter search took may belong to another device (a scanner,
  // a modem). The reader never answers, so only a valid frame shows it is
  // there: a port that brings none for this long is given back, and passed
  // over by the search while it stays plugged in.
  static constexpr std::uint64_t kTrialMs = 10000;

  TProtRKM530(std::int32_t aID, platform::HWND aHwnd);
  ~TProtRKM530() override;

  // "COMn" for a numbered port (COM0 while there is none), else the device path.
  std::string ComPort() const;
  void SetComPort(const std::string& value);
  const AnsiString& LastTessera() const { return fTessera; }
  std::int32_t Track() const { return fTrack; }
  void SetTrack(std::int32_t value) { fTrack = value; }
  TStatiDispo StatoLettore() const { return DispoStato; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool Value);

  void TimerProc();
  // Enabled, port open, reader shown working: a timer step would change nothing.
  bool StepIdle() const;
  void Inizializza() {}
  // One block of received bytes, as the port holder hands it over.
  void ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len);

  TdmProtrf& Holder() const { return *dm; }
  // The device path the port was configured with, tried first when the
  // adapter is looked for again; empty for a numbered port.
  const std::string& HomePath() const { return fHomePath; }
  // A frame is under way.
  bool InFrame() const { return CountRx > 0; }
  // The open port came from the adapter search and has not yet brought a
  // valid frame.
  bool OnTrial() const { return fOnTrial; }

 private:
  friend class TdmProtrf;
  void ResetState();
  void ProcessFrame();
  bool DecodeBadge(const std::string& text);
  void Post(std::uint32_t msg, platform::WPARAM wParam, platform::LPARAM lParam);
  bool HasPort() const;
  bool Reopen();
  void Search();
  void GiveUpTrial();
  void Unplugged();

  platform::HWND Ownerhandle;
  std::int32_t fID;
  bool FEnabled = false;
  std::int32_t CountRx = 0;
  std::array<std::uint8_t, kMaxFrameBytes + 1> BufferRx{};
  AnsiString fTessera;
  TStatiDispo DispoStato = sdStart;
  std::int32_t fTrack = 3;
  TdmProtrf* dm;
  std::string fHomePath;
  // The code of the last read, and when the last frame came: while frames
  // keep coming, that badge may still be in the field.
  std::array<std::uint8_t, 5> fHeldCode{};
  bool fHeld = false;
  std::uint64_t fHeldSeen = 0;
  bool fOnTrial = false;
  std::uint64_t fTrialSince = 0;
  std::vector<std::string> fPassedOver;  // ports given back, while still listed
};

}  // namespace lumbra
