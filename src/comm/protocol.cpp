#include "comm/protocol.h"

#include <algorithm>

#include "base/AppException.h"
#include "base/Exceptions.h"
#include "comm/PortDiscovery.h"

namespace lumbra {

// ------------------------------------------------------------------ TStdDisp

TStdDisp::TStdDisp(std::int32_t addr) : address(addr) {}

TStdDisp::~TStdDisp() {
  PurgeTele();
}

void TStdDisp::PurgeTele() {
  std::lock_guard lock(fTeleLock);
  while (!Tele.empty()) {
    TObject* p = Tele.back();
    Tele.pop_back();
    TObject::Free(p);
  }
}

void TStdDisp::AddTele(TObject* p) {
  std::lock_guard lock(fTeleLock);
  if (std::find(Tele.begin(), Tele.end(), p) == Tele.end()) Tele.push_back(p);
}

std::int32_t TStdDisp::GetTeleCount() {
  std::lock_guard lock(fTeleLock);
  return static_cast<std::int32_t>(Tele.size());
}

std::vector<TObject*>& TStdDisp::GetTele() {
  fTeleLock.lock();
  return Tele;
}

void TStdDisp::ReleaseTele() {
  fTeleLock.unlock();
}

// ----------------------------------------------------------------- TProtocol

TProtocol::TProtocol(std::int32_t aID, platform::HWND aHWND, TFisicVector* aVector)
    : fID(aID), Ownerhandle(aHWND) {
  if (fCfgFile.empty()) fCfgFile = "lumbra.ini";
  if (fCfgSection.empty()) fCfgSection = "TProtocol" + std::to_string(fID);
  TProtocol::SetVector(aVector);
}

TProtocol::~TProtocol() {
  ClearDispList();
  if (Vettore != nullptr) {
    Vettore->OnDisconnect = nullptr;
    Vettore->OnReceive = nullptr;
    Vettore->OnConnect = nullptr;
    if (FOwnVettore) TObject::Free(Vettore);
    Vettore = nullptr;
  }
}

void TProtocol::VectorReceive(TObject*, std::int32_t count) {
  if (!FEnabled || count <= 0 || Vettore == nullptr) return;
  try {
    if (count <= kChunk) {
      const std::int32_t n = Vettore->Read(BufferRic.data(), count);
      if (n > 0) ProcessBuffer(BufferRic.data(), n);
      return;
    }
    std::int32_t done = 0;
    while (done < count) {
      const std::int32_t n = Vettore->Read(BufferRic.data(), std::min(kChunk, count - done));
      if (n <= 0) break;
      ProcessBuffer(BufferRic.data(), n);
      done += n;
      // The parser may have closed the transport or the protocol.
      if (!FEnabled || Vettore == nullptr) break;
    }
  } catch (...) {
    HandleCurrentException(this);
  }
}

std::int32_t TProtocol::NextNumTrama(TStdDisp& Disp) {
  const std::int32_t n = Disp.NumTrama;
  Disp.NumTrama = n >= 255 ? 1 : n + 1;
  return n;
}

bool TProtocol::SendFrame(const std::string& Trama) {
  if (Vettore == nullptr) return false;
  return Vettore->Write(Trama) == static_cast<std::int32_t>(Trama.size());
}

void TProtocol::VectorConnect(TObject* Sender, std::int32_t Error) {
  if (OnConnect) OnConnect(Sender, Error);
}

void TProtocol::VectorDisconnect(TObject* Sender, std::int32_t Error) {
  if (OnDisconnect) OnDisconnect(Sender, Error);
}

void TProtocol::SetEnabled(bool value) {
  if (value == FEnabled) return;
  if (Vettore == nullptr) {
    FEnabled = false;
    return;
  }
  if (value) InitProtocol();
  Vettore->SetEnabled(value);
  FEnabled = Vettore->Enabled();
}

void TProtocol::SetVector(TFisicVector* value) {
  if (value == Vettore) return;
  if (Vettore != nullptr) {
    Vettore->OnDisconnect = nullptr;
    if (FOwnVettore) {
      TObject::Free(Vettore);
    } else {
      Vettore->OnReceive = nullptr;
      Vettore->OnConnect = nullptr;
      Vettore->SetID(0);
    }
  }
  Vettore = value;
  if (Vettore != nullptr) {
    Vettore->SetID(fID);
    Vettore->OnReceive = [this](TObject* s, std::int32_t c) { VectorReceive(s, c); };
    Vettore->OnConnect = [this](TObject* s, std::int32_t e) { VectorConnect(s, e); };
    Vettore->OnDisconnect = [this](TObject* s, std::int32_t e) { VectorDisconnect(s, e); };
  }
}

std::int32_t TProtocol::SendCommand(TStdDisp*, std::uint8_t, const std::uint8_t*, std::uint8_t,
                                    std::int32_t) {
  return -1;
}
std::int32_t TProtocol::SetCustomData(std::int32_t, void*, std::int32_t) {
  return -1;
}
std::int32_t TProtocol::GetCustomData(std::int32_t, void*, std::int32_t) {
  return -1;
}

void TProtocol::TimerProc() {
  Ticks.fetch_add(1);
  if (FEnabled && Vettore != nullptr) Vettore->TimerProc();
}

TProtocol::TVectorStep TProtocol::KeepVectorOpen(bool findAdapter) {
  if (Vettore == nullptr) return TVectorStep::Down;
  if (Vettore->Stato() == vsActive) {
    if (!Vettore->Lost()) return TVectorStep::Open;
    // Reopened on the next step at the earliest: a device that opens but
    // takes no bytes must still be seen down once.
    Vettore->Close();
    return TVectorStep::Down;
  }
  if (findAdapter && Vettore->DeviceName().empty()) Vettore->SetDeviceName(FindUsbSerialPort());
  if (!Vettore->DeviceName().empty()) {
    try {
      Vettore->SetEnabled(true);
    } catch (...) {
      // The port is still missing or busy; the next step tries again.
    }
  }
  return Vettore->Stato() == vsActive ? TVectorStep::Reopened : TVectorStep::Down;
}

TStdDisp* TProtocol::MakeDesc(std::int32_t addr) {
  auto* d = new TStdDisp(addr);
  d->Protocol = this;
  return d;
}

bool TProtocol::InsertDesc(TStdDisp* disp) {
  disp->Protocol = this;
  Disps.push_back(disp);
  return true;
}

bool TProtocol::RemoveDesc(TStdDisp* disp) {
  const std::int32_t i = DispIndex(disp);
  if (i < 0) return false;
  DeleteDesc(i);
  return true;
}

bool TProtocol::RemoveDescAddress(std::int32_t addr) {
  TStdDisp* d = FindDisp(addr);
  return d != nullptr && RemoveDesc(d);
}

void TProtocol::DeleteDesc(std::int32_t index) {
  if (index == DispAct) DispAct = -1;
  TStdDisp* d = GetDisp(index);
  Disps.erase(Disps.begin() + index);
  TObject::Free(d);
}

void TProtocol::ClearDispList() {
  for (std::int32_t i = DispCount() - 1; i >= 0; --i) DeleteDesc(i);
}

TStdDisp* TProtocol::FindDisp(std::int32_t addr) const {
  for (TStdDisp* d : Disps)
    if (d->address == addr) return d;
  return nullptr;
}

std::int32_t TProtocol::DispIndex(const TStdDisp* Disp) const {
  auto it = std::find(Disps.begin(), Disps.end(), Disp);
  return it == Disps.end() ? -1 : static_cast<std::int32_t>(it - Disps.begin());
}

TStdDisp* TProtocol::GetDisp(std::int32_t index) const {
  if (index < 0 || index >= DispCount())
    throw ERangeError("List index out of bounds (" + std::to_string(index) + ")");
  return Disps[static_cast<size_t>(index)];
}

bool ProcessOneMessage() {
  return platform::HasMessageLoop() && platform::MessageLoop().ProcessOneMessage();
}

}  // namespace lumbra
