#pragma once
// Base of the device protocols: owns or borrows a transport, receives its
// bytes into a fixed buffer and hands them to the descendant's frame parser,
// forwards timer ticks, and keeps one descriptor per device on the line, each
// with a locked queue of pending telegrams. Runs on the UI thread; only the
// telegram queues are shared with other threads.
#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/Component.h"
#include "comm/TVettore.h"
#include "comm/statiDispo.h"
#include "platform/MessageLoop.h"

namespace lumbra {

class TProtocol;

class TStdDisp : public TObject {
 public:
  explicit TStdDisp(std::int32_t addr);
  ~TStdDisp() override;

  virtual void TimerProc() { Ticks.fetch_add(1); }
  virtual void PurgeTele();

  // Queues p (owned from now on) unless it is already queued.
  void AddTele(TObject* p);
  std::int32_t GetTeleCount();
  // Locks the queue and hands it out until ReleaseTele.
  std::vector<TObject*>& GetTele();
  void ReleaseTele();

  TProtocol* Protocol = nullptr;
  std::int32_t address;
  TStatiDispo stato = sdStart;
  std::atomic<std::int32_t> Ticks{0};
  std::int32_t ContTimeout = 0;
  std::int32_t NumTrama = 1;
  std::int32_t MaxRetray = 0;
  std::int32_t TimePolling = 0;
  std::int32_t Timeout = 5;

 private:
  std::recursive_mutex fTeleLock;
  std::vector<TObject*> Tele;
};

class TProtocol : public TObject {
 public:
  static constexpr std::int32_t kChunk = 8192;

  TProtocol(std::int32_t aID, platform::HWND aHWND, TFisicVector* aVector);
  ~TProtocol() override;

  virtual void VectorReceive(TObject* Sender, std::int32_t count);
  virtual void ProcessBuffer(const std::uint8_t* Buffer, std::int32_t Len) = 0;
  virtual std::int32_t NextNumTrama(TStdDisp& Disp);
  virtual std::string ReservedQuery(std::uintptr_t, std::uintptr_t) { return {}; }
  virtual bool SendFrame(const std::string& Trama);
  virtual void VectorConnect(TObject* Sender, std::int32_t Error);
  virtual void VectorDisconnect(TObject* Sender, std::int32_t Error);
  virtual void SetEnabled(bool value);
  virtual void SetVector(TFisicVector* value);
  virtual std::int32_t SendCommand(TStdDisp* Disp, std::uint8_t code, const std::uint8_t* Data,
                                   std::uint8_t flags, std::int32_t param1);
  virtual std::int32_t SetCustomData(std::int32_t code, void* Data, std::int32_t param1);
  virtual std::int32_t GetCustomData(std::int32_t code, void* Data, std::int32_t param1);
  virtual void TimerProc();

  virtual void InitProtocol() = 0;
  virtual TStdDisp* MakeDesc(std::int32_t addr);
  virtual bool InsertDesc(TStdDisp* disp);
  virtual bool RemoveDesc(TStdDisp* disp);
  virtual bool RemoveDescAddress(std::int32_t addr);
  virtual void DeleteDesc(std::int32_t index);

  void ClearDispList();
  TStdDisp* FindDisp(std::int32_t addr) const;
  std::int32_t DispIndex(const TStdDisp* Disp) const;
  // Out of range raises ERangeError.
  TStdDisp* GetDisp(std::int32_t index) const;
  std::int32_t DispCount() const { return static_cast<std::int32_t>(Disps.size()); }

  bool Enabled() const { return FEnabled; }
  TFisicVector* Vector() const { return Vettore; }
  // The device name of the transport; empty (and ignored) without one.
  std::string ComPort() const { return Vettore ? Vettore->DeviceName() : std::string(); }
  void SetComPort(const std::string& value) {
    if (Vettore) Vettore->SetDeviceName(value);
  }
  std::int32_t ID() const { return fID; }
  const std::string& Descri() const { return fDescri; }
  void SetDescri(const std::string& v) { fDescri = v; }
  bool AutoSave() const { return Fautosave; }
  void SetAutoSave(bool v) { Fautosave = v; }
  const std::string& ConfigFile() const { return fCfgFile; }
  void SetConfigFile(const std::string& v) { fCfgFile = v; }
  const std::string& ConfigSection() const { return fCfgSection; }
  void SetConfigSection(const std::string& v) { fCfgSection = v; }
  platform::HWND OwnerHandle() const { return Ownerhandle; }

  TFVConnectEvent OnConnect;
  TFVConnectEvent OnDisconnect;

 protected:
  // One timer step of keeping the transport open while the protocol runs: a
  // transport whose device went away is closed, and a closed one is opened
  // again (on the first USB serial adapter found when it names no port and
  // findAdapter is set). A failed opening is retried on the next step.
  enum class TVectorStep {
    Open,      // open through the whole step
    Reopened,  // closed before the step, open now
    Down,      // closed now
  };
  TVectorStep KeepVectorOpen(bool findAdapter = false);

  std::array<std::uint8_t, kChunk + 1> BufferRic{};
  bool FEnabled = false;
  TStatoColloquio StatoCom = scNoData;
  bool FOwnVettore = false;
  bool Fautosave = true;
  std::atomic<std::int32_t> Ticks{0};
  std::int32_t fID;
  std::string fDescri;
  platform::HWND Ownerhandle;
  TFisicVector* Vettore = nullptr;
  std::vector<TStdDisp*> Disps;
  std::int32_t DispAct = -1;
  std::string fCfgFile;
  std::string fCfgSection;
};

// Handles one waiting message of the calling (UI) thread; false when none
// was waiting.
bool ProcessOneMessage();

}  // namespace lumbra
