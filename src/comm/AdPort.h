#pragma once
// The event-driven serial port: a thread of its own reads the device into an
// input buffer, and the port offers the waiting bytes, and line errors, as
// notifications on the UI thread (the thread that created it), one at a time:
// no new offer is made before the running notification has returned.
//
// Settings are fixed (9600 baud, 8 data bits, no parity, one stop bit, no
// flow control, DTR and RTS raised). A port is chosen by number ("COMn") or,
// on systems that name ports by path, by its device path.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "base/Text.h"
#include "comm/TVettore.h"
#include "comm/WComp.h"

namespace lumbra {

class EApdPortError : public EVectorError {
 public:
  using EVectorError::EVectorError;
};

using TTriggerAvailEvent = std::function<void(TObject* CP, std::uint16_t Count)>;
using TTriggerLineErrorEvent =
    std::function<void(TObject* CP, std::uint16_t Error, bool LineBreak)>;

class TApdComPort : public TCustomWindowedComponent {
 public:
  explicit TApdComPort(TComponent* AOwner);
  ~TApdComPort() override;

  std::uint16_t ComNumber() const { return fComNumber; }
  // Above 65535 (or negative) raises ERangeError and keeps the number.
  void SetComNumber(std::int32_t value);
  // "COMn" sets the number; any other text is a device path.
  void SetPortName(const std::string& text);
  const std::string& DevicePath() const { return fPath; }

  bool Open() const { return fShared != nullptr; }
  // Open, but its device is gone (pulled, hung up); it stays so until closed.
  bool Lost() const;
  void SetOpen(bool value);
  void PutString(const AnsiString& bytes);
  // Moves exactly n received bytes out of the input buffer.
  void GetBlock(void* buffer, std::size_t n);
  // Received bytes not yet offered or taken; 0 while closed.
  std::size_t InBuffUsed() const;

  const std::uint32_t Baud = 9600;
  const std::uint32_t InSize = 4096;
  const std::uint32_t OutSize = 4096;
  const std::uint32_t BufferFull = 3686;
  const std::uint32_t BufferResume = 409;
  const std::uint32_t TriggerLength = 1;

  TTriggerAvailEvent OnTriggerAvail;
  TTriggerLineErrorEvent OnTriggerLineError;

 protected:
  void DoMessage(TMessage& Msg, bool& Handled) override;

 private:
  struct Shared;
  class Reader;
  void OpenDevice();
  void CloseDevice();
  void Avail();

  std::uint16_t fComNumber = 0;
  std::string fPath;
  std::shared_ptr<Shared> fShared;
  std::shared_ptr<Reader> fReader;
};

// What the port holders of the event-driven drivers share: the port, its two
// handlers, and the protocol the bytes go to (not owned; none while detached).
class TPortHolder : public TComponent {
 public:
  explicit TPortHolder(TComponent* AOwner);
  TApdComPort* ApdComPort1;

  void ApdComPort1TriggerAvail(TObject* CP, std::uint16_t Count);
  void ApdComPort1TriggerLineError(TObject* CP, std::uint16_t Error, bool LineBreak);

 protected:
  virtual bool HasProto() const = 0;
  virtual void ProtoReceive(const std::uint8_t* buffer, std::int32_t count) = 0;
  virtual platform::HWND ProtoOwner() const = 0;
  // Whether a line error is worth reporting in the protocol's state.
  virtual bool ReportLineErrors() const { return true; }
};

}  // namespace lumbra
