#include "platform/win32/Win32Serial.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>
#include <list>
#include <mutex>

#include "platform/win32/Win32Text.h"
// The interface's own name, not the Win32 macro.
#undef CreateEvent

namespace lumbra::platform::win32 {
namespace {

thread_local std::string tLastError;

// While a pseudo-terminal under Wine gives empty event masks and nothing to
// read, the wait polls at this interval.
constexpr DWORD kEmptyMaskPollMs = 20;

class Win32Event final : public IWaitableEvent {
 public:
  Win32Event() : fHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  ~Win32Event() override { CloseHandle(fHandle); }
  void Set() override { SetEvent(fHandle); }
  void Reset() override { ResetEvent(fHandle); }
  bool IsSet() const override { return WaitForSingleObject(fHandle, 0) == WAIT_OBJECT_0; }
  HANDLE Handle() const { return fHandle; }

 private:
  HANDLE fHandle;
};

// Errors after which the port does not come back on this handle. A pulled
// USB adapter ends what was pending as aborted, then its driver fails every
// call: access denied or "the device does not recognize the command" for the
// common ones, a general failure, "not connected" or "removed" for others.
bool IsLoss(DWORD error) {
  constexpr DWORD kNoSuchDevice = 433;  // ERROR_NO_SUCH_DEVICE, missing from some headers
  switch (error) {
    case kNoSuchDevice:
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BROKEN_PIPE:
    case ERROR_DEVICE_NOT_CONNECTED:
      return true;
    default:
      return false;
  }
}

class Win32SerialDevice final : public ISerialDevice {
 public:
  explicit Win32SerialDevice(HANDLE h) : fHandle(h) {
    fWaitDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    fReadDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  }
  ~Win32SerialDevice() override {
    // Output not yet sent is discarded; the pending writes end with it. Only
    // when there is some: Wine purges a pseudo-terminal's output by flushing
    // it, which drops bytes already on their way to the other end.
    DWORD purge = PURGE_RXABORT | PURGE_RXCLEAR;
    if (OutputPending() > 0) purge |= PURGE_TXABORT | PURGE_TXCLEAR;
    PurgeComm(fHandle, purge);
    CancelIo(fHandle);
    {
      std::lock_guard lock(fWritesMutex);
      for (auto& w : fWrites) {
        DWORD n;
        GetOverlappedResult(fHandle, &w.ov, &n, TRUE);
        CloseHandle(w.ov.hEvent);
      }
    }
    CloseHandle(fHandle);
    CloseHandle(fWaitDone);
    CloseHandle(fReadDone);
  }

  // Raw: binary, no flow control, reads that return at once.
  bool Init() {
    SerialSettings raw;
    raw.flags = kFlagBinary | kFlagDtrOn | kFlagRtsOn;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    if (!SetCommTimeouts(fHandle, &t)) return Fail();
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(fHandle, &dcb)) return Fail();
    Fill(dcb, raw, dcb.BaudRate);
    return SetCommState(fHandle, &dcb) ? true : Fail();
  }

  bool Apply(const SerialSettings& s) override {
    DCB dcb{};
    dcb.DCBlength = sizeof(dcb);
    if (!GetCommState(fHandle, &dcb)) return Fail();
    Fill(dcb, s, s.baudRate);
    return SetCommState(fHandle, &dcb) ? true : Fail();
  }

  bool SetQueueSizes(std::uint32_t in, std::uint32_t out) override {
    return SetupComm(fHandle, in, out) ? true : Fail();
  }

  bool SetEventMask(std::uint32_t mask) override {
    fMask = mask;
    return SetCommMask(fHandle, mask) ? true : Fail();
  }

  WaitResult WaitEvent(IWaitableEvent& stop, std::uint32_t& events) override {
    events = 0;
    if (fLost) return WaitResult::Lost;
    HANDLE stopHandle = static_cast<Win32Event&>(stop).Handle();
    if (fPoll.exchange(false) && WaitForSingleObject(stopHandle, kEmptyMaskPollMs) == WAIT_OBJECT_0)
      return WaitResult::Stopped;
    OVERLAPPED ov{};
    ov.hEvent = fWaitDone;
    ResetEvent(fWaitDone);
    DWORD mask = 0;
    if (!WaitCommEvent(fHandle, &mask, &ov)) {
      DWORD error = GetLastError();
      // Wine ends the wait on a pseudo-terminal at once, as aborted.
      if (error == ERROR_OPERATION_ABORTED) return Aborted(events);
      if (error != ERROR_IO_PENDING) return WaitFailure(error, events);
      HANDLE both[2] = {fWaitDone, stopHandle};
      if (WaitForMultipleObjects(2, both, FALSE, INFINITE) != WAIT_OBJECT_0) {
        // Stopped: end the wait (setting the mask again does) and let it finish.
        SetCommMask(fHandle, fMask);
        DWORD n;
        GetOverlappedResult(fHandle, &ov, &n, TRUE);
        return WaitResult::Stopped;
      }
      DWORD n;
      // Waiting costs nothing (the event is set) and takes the result Wine
      // now and then has not stored yet when it sets the event.
      if (!GetOverlappedResult(fHandle, &ov, &n, TRUE)) {
        DWORD error = GetLastError();
        if (error == ERROR_OPERATION_ABORTED) return Aborted(events);
        return WaitFailure(error, events);
      }
    }
    if (mask == 0) return Guess(events);
    events = mask;
    return WaitResult::Event;
  }

  int Read(void* buf, int count) override {
    if (count <= 0) return 0;
    std::lock_guard lock(fReadMutex);
    int given =
        static_cast<int>(std::min<std::size_t>(fAhead.size(), static_cast<std::size_t>(count)));
    std::memcpy(buf, fAhead.data(), static_cast<std::size_t>(given));
    fAhead.erase(0, static_cast<std::size_t>(given));
    if (given == count) return given;
    int n = ReadNow(static_cast<char*>(buf) + given, count - given);
    return n < 0 ? (given > 0 ? given : -1) : given + n;
  }

  // Reads what has arrived, without waiting; -1 on failure.
  int ReadNow(void* buf, int count) {
    if (fLost) return LostResult();
    OVERLAPPED ov{};
    ov.hEvent = fReadDone;
    ResetEvent(fReadDone);
    DWORD n = 0;
    if (!ReadFile(fHandle, buf, static_cast<DWORD>(count), &n, &ov)) {
      DWORD error = GetLastError();
      if (error != ERROR_IO_PENDING) {
        Failure(error);
        return -1;
      }
      // The time-outs make Windows end the read at once; Wine leaves it
      // waiting for bytes, so it is cancelled (keeping what it got).
      if (WaitForSingleObject(fReadDone, 0) != WAIT_OBJECT_0) CancelIoEx(fHandle, &ov);
      if (!GetOverlappedResult(fHandle, &ov, &n, TRUE) &&
          (error = GetLastError()) != ERROR_OPERATION_ABORTED) {
        Failure(error);
        return -1;
      }
    }
    if (n == 0 && fPollArmed.exchange(false)) fPoll = true;
    return static_cast<int>(n);
  }

  int Write(const void* buf, int len) override {
    if (fLost) return LostResult();
    if (len <= 0) return 0;
    std::lock_guard lock(fWritesMutex);
    Reap();
    fWrites.emplace_back();
    PendingWrite& w = fWrites.back();
    w.data.assign(static_cast<const char*>(buf), static_cast<std::size_t>(len));
    w.ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    if (!WriteFile(fHandle, w.data.data(), static_cast<DWORD>(len), &n, &w.ov) &&
        GetLastError() != ERROR_IO_PENDING) {
      DWORD error = GetLastError();
      CloseHandle(w.ov.hEvent);
      fWrites.pop_back();
      Failure(error);
      return -1;
    }
    return len;
  }

  bool QueryStatus(SerialStatus& status) override {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(fHandle, &errors, &stat)) return Fail();
    status.errors = errors | fKeptErrors.exchange(0);
    status.inQueue = stat.cbInQue;
    // Wine counts nothing queued on a pseudo-terminal: what waits is read
    // ahead and counted, so callers that read as many bytes as are queued
    // still get them.
    std::lock_guard lock(fReadMutex);
    if (stat.cbInQue == 0) {
      char buf[1024];
      int n = ReadNow(buf, sizeof buf);
      if (n > 0) fAhead.append(buf, static_cast<std::size_t>(n));
    }
    status.inQueue += static_cast<std::uint32_t>(fAhead.size());
    status.outQueue = stat.cbOutQue;
    status.ctsHold = stat.fCtsHold;
    status.dsrHold = stat.fDsrHold;
    return true;
  }

  bool PurgeIn() override {
    return PurgeComm(fHandle, PURGE_RXABORT | PURGE_RXCLEAR) ? true : Fail();
  }
  bool PurgeOut() override {
    return PurgeComm(fHandle, PURGE_TXABORT | PURGE_TXCLEAR) ? true : Fail();
  }
  std::uint32_t OutputPending() override {
    DWORD errors = 0;
    COMSTAT stat{};
    const std::uint32_t queued = ClearCommError(fHandle, &errors, &stat) ? stat.cbOutQue : 0;
    // A write the driver has not finished may not be counted in its queue yet.
    std::lock_guard lock(fWritesMutex);
    Reap();
    std::uint32_t writing = 0;
    for (const auto& w : fWrites) writing += static_cast<std::uint32_t>(w.data.size());
    return std::max(queued, writing);
  }
  bool SetDTR(bool on) override { return Escape(on ? SETDTR : CLRDTR); }
  bool SetRTS(bool on) override { return Escape(on ? SETRTS : CLRRTS); }
  bool SetBreak(bool on) override {
    return (on ? SetCommBreak(fHandle) : ClearCommBreak(fHandle)) ? true : Fail();
  }
  std::string LastError() const override { return tLastError; }
  bool Lost() const override { return fLost; }

 private:
  struct PendingWrite {
    OVERLAPPED ov{};
    std::string data;
  };

  static void Fill(DCB& dcb, const SerialSettings& s, DWORD baud) {
    dcb.BaudRate = baud;
    dcb.ByteSize = static_cast<BYTE>(s.dataBits);
    dcb.Parity = static_cast<BYTE>(s.parity);
    dcb.StopBits = static_cast<BYTE>(s.stopBits);
    // The flag word is the system's own bit layout.
    dcb.fBinary = (s.flags & kFlagBinary) != 0;
    dcb.fParity = (s.flags & kFlagParity) != 0;
    dcb.fOutxCtsFlow = (s.flags & kFlagOutxCts) != 0;
    dcb.fOutxDsrFlow = (s.flags & kFlagOutxDsr) != 0;
    dcb.fDtrControl = (s.flags & kFlagDtrMask) >> 4;
    dcb.fDsrSensitivity = (s.flags & kFlagDsrSensitivity) != 0;
    dcb.fRtsControl = (s.flags & kFlagRtsMask) >> 12;
    dcb.fOutX = dcb.fInX = dcb.fErrorChar = dcb.fNull = dcb.fAbortOnError = FALSE;
  }

  // An aborted wait: Wine's way with a pseudo-terminal, and how a pulled
  // adapter's driver ends the wait before it fails everything else. The
  // port's status tells the two apart; its line errors are kept for the
  // caller's next status query.
  WaitResult Aborted(std::uint32_t& events) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(fHandle, &errors, &stat)) {
      const DWORD error = GetLastError();
      if (IsLoss(error)) return Failure(error);
    }
    fKeptErrors |= errors;
    return Guess(events);
  }

  // Wine's answer for a pseudo-terminal (an empty mask, or an aborted wait):
  // have the caller look, and poll if nothing is there.
  WaitResult Guess(std::uint32_t& events) {
    events = fMask & EV_RXCHAR;
    fPollArmed = true;
    return WaitResult::Event;
  }

  // A port that is gone may fail the wait with a reason that need not mean
  // it (Wine's pseudo-terminal whose other end hung up: "not ready"), while a
  // read says so for sure. Bytes the read finds are kept for the caller.
  WaitResult WaitFailure(DWORD error, std::uint32_t& events) {
    WaitResult result = Failure(error);
    if (result != WaitResult::Failed) return result;
    const std::string reason = tLastError;
    std::lock_guard lock(fReadMutex);
    char buf[1024];
    int n = ReadNow(buf, sizeof buf);
    if (fLost) return WaitResult::Lost;
    tLastError = reason;
    if (n <= 0) return result;
    fAhead.append(buf, static_cast<std::size_t>(n));
    events = fMask & EV_RXCHAR;
    return WaitResult::Event;
  }

  bool Escape(DWORD function) { return EscapeCommFunction(fHandle, function) ? true : Fail(); }

  bool Fail() {
    Failure(GetLastError());
    return false;
  }
  WaitResult Failure(DWORD error) {
    tLastError = SystemMessage(error);
    if (IsLoss(error)) fLost = true;
    return fLost ? WaitResult::Lost : WaitResult::Failed;
  }
  int LostResult() {
    tLastError = "the device is gone";
    return -1;
  }
  // Drops the writes that have finished; a failed one means the port is gone.
  void Reap() {
    for (auto it = fWrites.begin(); it != fWrites.end();) {
      if (!HasOverlappedIoCompleted(&it->ov)) {
        ++it;
        continue;
      }
      DWORD n;
      if (!GetOverlappedResult(fHandle, &it->ov, &n, FALSE)) Failure(GetLastError());
      CloseHandle(it->ov.hEvent);
      it = fWrites.erase(it);
    }
  }

  HANDLE fHandle;
  HANDLE fWaitDone;  // the waiting thread's
  HANDLE fReadDone;  // the reads', under fReadMutex
  std::uint32_t fMask = 0;
  std::atomic<bool> fLost{false};
  std::atomic<DWORD> fKeptErrors{0};  // line errors a status query of the wait took
  std::atomic<bool> fPollArmed{false};  // the last event was a guess
  std::atomic<bool> fPoll{false};       // and the read after it found nothing
  std::mutex fReadMutex;                // guards fAhead
  std::string fAhead;                   // read by QueryStatus, not yet by Read
  std::mutex fWritesMutex;
  std::list<PendingWrite> fWrites;
};

}  // namespace

std::unique_ptr<IWaitableEvent> Win32SerialBackend::CreateEvent() {
  return std::make_unique<Win32Event>();
}

std::string Win32SerialBackend::DevicePath(const std::string& name) {
  if (name.size() > 3 && std::toupper(static_cast<unsigned char>(name[0])) == 'C' &&
      std::toupper(static_cast<unsigned char>(name[1])) == 'O' &&
      std::toupper(static_cast<unsigned char>(name[2])) == 'M' &&
      name.find_first_not_of("0123456789", 3) == std::string::npos)
    return "\\\\.\\" + name;
  return name;
}

std::unique_ptr<ISerialDevice> Win32SerialBackend::Open(const std::string& path,
                                                        std::string& error) {
  HANDLE h = CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = SystemMessage(GetLastError());
    return nullptr;
  }
  auto device = std::make_unique<Win32SerialDevice>(h);
  if (!device->Init()) {
    error = device->LastError();
    return nullptr;
  }
  return device;
}

}  // namespace lumbra::platform::win32
