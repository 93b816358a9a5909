#pragma once
// The serial port transport. A companion thread waits for port events and
// hands each one to the port, by default on the UI thread (and waits until it
// has run there), where the port raises OnReceive and the signal events.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "comm/ReleasableThread.h"
#include "comm/TVettore.h"
#include "platform/SerialPort.h"

namespace lumbra {

class ECommError : public EVectorError {
 public:
  using EVectorError::EVectorError;
};

enum TBaudRate {
  cbr110,
  cbr300,
  cbr600,
  cbr1200,
  cbr2400,
  cbr4800,
  cbr9600,
  cbr14400,
  cbr19200,
  cbr28800,
  cbr38400,
  cbr56000,
  cbr57600,
  cbr115200,
  cbr128000,
  cbr256000,
  cbr230400,
  cbr460800,
  cbr921600
};
enum TParity { paNone, paOdd, paEven, paMark, paSpace };
enum TStopbits { sb1_0, sb1_5, sb2_0 };
enum TDatabits { da4, da5, da6, da7, da8 };
enum TC32EventState {
  evBreak,
  evCTS,
  evDSR,
  evError,
  evRing,
  evRlsd,
  evRxChar,
  evRxFlag,
  evTxEmpty
};
using TC32EventType = std::uint32_t;  // OR of the event mask bits

// Event mask bit of one event state.
std::uint32_t EventBit(TC32EventState e);
std::uint32_t BaudRateValue(TBaudRate rate);

enum class TThreadPriority {
  tpIdle,
  tpLowest,
  tpLower,
  tpNormal,
  tpHigher,
  tpHighest,
  tpTimeCritical
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
using TC32Event = std::function<void(TObject* Sender, std::uint32_t Status)>;
using TC32StateEvent = std::function<void(TObject* Sender, bool State)>;

class TC32Thread : public TReleasableThread {
 public:
  // Sets the port's event mask; a refusal raises ECommError.
  TC32Thread(platform::HWND aHost, std::shared_ptr<platform::ISerialDevice> aDevice,
             TC32EventType Events, bool aEventsInThread);
  TC32Event FOnSignal;
  // How many times the body woke up; the measure of a thread that must not spin.
  std::uint64_t Wakeups() const { return fWakeups.load(); }
  // The body ended by itself (not on a stop request).
  bool Ended() const { return fEnded.load(); }

 protected:
  void Execute() override;

 private:
  void Deliver();
  void Notice(const std::string& text);

  std::shared_ptr<platform::ISerialDevice> FHandleCom;
  std::uint32_t FStatus = 0;
  platform::HWND WinHost;
  bool fEventsInThread;
  std::atomic<std::uint64_t> fWakeups{0};
  std::atomic<bool> fEnded{false};
};

class TComm32 : public TFisicVector {
 public:
  explicit TComm32(platform::HWND aWindow);
  ~TComm32() override;

  std::string DeviceName() const override { return FDeviceName; }
  void SetDeviceName(const std::string& value) override;
  std::int32_t InQueCount() override;
  std::int32_t OutQueCount() override;
  void SignalError(TObject* Sender, std::int32_t Errors, const std::string& ErrMsg) override;
  std::string ConnectString() const override;
  void SetConnectString(const std::string& value) override;
  std::int32_t Write(const std::string& Trama) override;
  std::int32_t WriteBuf(const void* Trama, std::int32_t len) override;
  std::int32_t Read(void* Buf, std::int32_t count) override;
  std::string GetClassDescription() const override { return "Seriale RS232"; }
  bool Open() override;
  void Close() override;
  bool ConnectTo(const std::string& idRemote) override;
  void PurgeIn() override;
  void PurgeOut() override;

  virtual bool StartPort();
  virtual void StopPort();
  virtual void CreatePortHandle();
  virtual void ClosePortHandle();

  bool DoDTR(bool State);
  bool DoRTS(bool State);
  bool DoBREAK(bool State);

  std::uint32_t DCBFlags() const { return fdcbFlags; }
  void SetDCBFlags(std::uint32_t value);
  TBaudRate BaudRate() const { return FBaudRate; }
  void SetBaudRate(TBaudRate value);
  TParity Parity() const { return FParity; }
  void SetParity(TParity value);
  TStopbits Stopbits() const { return FStopbits; }
  void SetStopbits(TStopbits value);
  TDatabits Databits() const { return FDatabits; }
  void SetDatabits(TDatabits value);
  TThreadPriority ThreadPriority() const { return FthreadPriority; }
  void SetThreadPriority(TThreadPriority value);
  bool EventsInThread() const { return FEventsInThread; }
  void SetEventsInThread(bool value);
  // The open device, or null.
  platform::ISerialDevice* Handle() const { return FHandle.get(); }
  // The running event thread, or null (for measuring it).
  const TC32Thread* EventThread() const { return FTC32Thread.get(); }
  // The port is open but its device is of no more use: the event thread ended
  // by itself (the device went away or keeps failing) or a write was refused
  // (nothing drains the output any more).
  bool Lost() const override;

  TC32EventType MonitorEvents = EventBit(evError) | EventBit(evRxChar);
  std::int32_t ReadBufferSize = 4096;
  std::int32_t WriteBufferSize = 1024;
  TNotifyEvent OnBreakSignal;
  TC32StateEvent OnCTSSignal;
  TC32StateEvent OnDSRSignal;
  TNotifyEvent OnRingSignal;
  TNotifyEvent OnRLSDSignal;
  TNotifyEvent OnRxFlagSignal;
  TNotifyEvent OnTxEmptySignal;

  // Fills List with the serial devices present, in the device table's order.
  static void EnumComPorts(std::vector<std::string>& List);

 protected:
  void HandleSignal(TObject* Sender, std::uint32_t Status);

 private:
  platform::SerialSettings Settings() const;
  void ApplySettings();
  std::string DevicePath(const std::string& name) const;
  void Restart();

  std::shared_ptr<platform::ISerialDevice> FHandle;
  std::shared_ptr<TC32Thread> FTC32Thread;
  platform::SerialStatus FCT;
  std::uint32_t fdcbFlags = 0x13;
  TBaudRate FBaudRate = cbr19200;
  TParity FParity = paNone;
  TStopbits FStopbits = sb2_0;
  TDatabits FDatabits = da8;
  TThreadPriority FthreadPriority = TThreadPriority::tpNormal;
  bool FEventsInThread = false;
  bool fWriteRefused = false;
};

}  // namespace lumbra
