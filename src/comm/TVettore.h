#pragma once
// The transport: a byte channel to one device, opened and closed by the
// protocol that owns it. Arrivals, line errors and connection changes are
// events; failures nobody handles become notices posted to the host window.
#include <cstdint>
#include <functional>
#include <string>

#include "base/Component.h"
#include "base/Exceptions.h"
#include "platform/MessageLoop.h"

namespace lumbra {

// Errors of transports.
class EVectorError : public Exception {
 public:
  using Exception::Exception;
};

enum TVectorState {
  vsIdle = 0,
  vsCalling = 1,
  vsAcceptingCall = 2,
  vsActive = 3,
  vsDropping = 4,
  vsError = 5
};

using TFVReceiveEvent = std::function<void(TObject* Sender, std::int32_t count)>;
using TFVErrorEvent = std::function<void(TObject* Sender, std::int32_t Errors)>;
using TFVErrorEvent2 =
    std::function<void(TObject* Sender, std::int32_t Errors, const std::string& ErrMsg)>;
using TFVConnectEvent = std::function<void(TObject* Sender, std::int32_t Error)>;

class TFisicVector : public TObject {
 public:
  explicit TFisicVector(platform::HWND aWindow);
  ~TFisicVector() override = default;
  // Closes the channel while the whole object still exists.
  void BeforeDestruction() override;

  std::int32_t ID() const { return fID; }
  virtual void SetID(std::int32_t value) { fID = value; }
  bool Enabled() const { return FEnabled; }
  virtual void SetEnabled(bool value);
  TVectorState Stato() const { return FStato; }
  virtual void SetStato(TVectorState value);
  virtual std::string DeviceName() const { return FDeviceName; }
  virtual void SetDeviceName(const std::string& value) { FDeviceName = value; }
  virtual std::int32_t InQueCount() = 0;
  virtual std::int32_t OutQueCount() = 0;
  virtual std::string ConnectString() const = 0;
  virtual void SetConnectString(const std::string& value) = 0;
  const std::string& ConfigFile() const { return fCfgFile; }
  void SetConfigFile(const std::string& v) { fCfgFile = v; }
  const std::string& ConfigSection() const { return fCfgSection; }
  void SetConfigSection(const std::string& v) { fCfgSection = v; }
  platform::HWND Host() const { return WinHost; }

  // Posts "<device>: Msg" to the host window; any thread.
  virtual void NotifyHost(const std::string& Msg, std::int32_t Kind, double Time);
  virtual void SignalError(TObject* Sender, std::int32_t Errors, const std::string& ErrMsg);

  virtual std::int32_t Write(const std::string& Trama) = 0;
  virtual std::int32_t WriteBuf(const void* Trama, std::int32_t len) = 0;
  virtual std::int32_t Read(void* Buf, std::int32_t count) = 0;
  virtual void TimerProc() {}
  virtual std::string GetClassDescription() const { return "Invalid"; }
  // Open, but its device went away (unplugged, hung up, or no longer taking
  // bytes): only closing and opening again can bring it back.
  virtual bool Lost() const { return false; }

  virtual bool GetDevConfig(char16_t* Buffer, std::int32_t& bufsize);
  virtual bool SetDevConfig(const char16_t* Buffer, std::int32_t bufsize);
  virtual bool Open() = 0;
  virtual void Close() = 0;
  virtual bool Connect();
  virtual bool ConnectTo(const std::string& idRemote);
  virtual void PurgeIn() = 0;
  virtual void PurgeOut() = 0;

  TFVErrorEvent OnError;
  TFVErrorEvent2 OnError2;
  TFVReceiveEvent OnReceive;
  TFVConnectEvent OnConnect;
  TFVConnectEvent OnDisconnect;
  void* ExtraData = nullptr;

 protected:
  std::int32_t fID = 0;
  std::string FDeviceName;
  platform::HWND WinHost;
  bool FEnabled = false;
  TVectorState FStato = vsIdle;
  std::int32_t FError = 0;
  std::string fCfgFile;
  std::string fCfgSection;
};

}  // namespace lumbra
