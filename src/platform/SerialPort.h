#pragma once
// Serial devices: the byte channel under the serial transports, and the
// waitable signal that wakes a worker blocked on a device.
//
// Contract
// - IWaitableEvent is a manually reset signal. Set, Reset and IsSet may be
//   called from any thread. A device's WaitEvent wakes when the event it is
//   given is set, so a thread blocked on a device can always be stopped. Only
//   events created by the same backend may be passed to its devices.
// - ISerialDevice is one open port, opened exclusively. After Open it is in raw
//   mode (no echo, no line editing, no character translation, no flow control),
//   and reads never block: Read returns what is waiting, 0 when nothing is.
// - Every call of a device may come from any thread, but calls on one device are
//   made by at most two threads at a time: one waiting in WaitEvent, the other
//   doing everything else. Releasing the device discards output not yet sent
//   and closes the port, without waiting for the line; DrainOutput first lets
//   the last bytes go out for a bounded time.
// - Results: false or -1 is a failure whose reason (the system's message) is in
//   LastError(), on the thread that saw it. Lines a device has not got (a
//   pseudo-terminal has no modem lines) answer false with "not supported".
// - Event bits are those of the serial event mask: kEvRxChar when bytes wait,
//   kEvError when the line error counters moved. A device that disappears (the
//   other end hung up, the adapter was pulled) gives WaitResult::Lost, and goes
//   on giving it; it never comes back on the same device object. Lost() tells
//   that it is known to be gone (a wait said so, or a call failed for that
//   reason): its further failures are that same fault.
// - Units: rates in bits per second, sizes in bytes, time-outs in milliseconds.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace lumbra::platform {

class IWaitableEvent {
 public:
  virtual ~IWaitableEvent() = default;
  virtual void Set() = 0;
  virtual void Reset() = 0;
  virtual bool IsSet() const = 0;
};

// Event mask bits (as the serial event mask of the program has them).
inline constexpr std::uint32_t kEvRxChar = 0x0001;
inline constexpr std::uint32_t kEvRxFlag = 0x0002;
inline constexpr std::uint32_t kEvTxEmpty = 0x0004;
inline constexpr std::uint32_t kEvCTS = 0x0008;
inline constexpr std::uint32_t kEvDSR = 0x0010;
inline constexpr std::uint32_t kEvRlsd = 0x0020;
inline constexpr std::uint32_t kEvBreak = 0x0040;
inline constexpr std::uint32_t kEvError = 0x0080;
inline constexpr std::uint32_t kEvRing = 0x0100;

// Line error flags.
inline constexpr std::uint32_t kCeRxOver = 0x0001;
inline constexpr std::uint32_t kCeOverrun = 0x0002;
inline constexpr std::uint32_t kCeRxParity = 0x0004;
inline constexpr std::uint32_t kCeFrame = 0x0008;
inline constexpr std::uint32_t kCeBreak = 0x0010;
inline constexpr std::uint32_t kCeTxFull = 0x0100;
inline constexpr std::uint32_t kCeIOE = 0x0400;
inline constexpr std::uint32_t kCeMode = 0x8000;

// Flag word of the port settings.
inline constexpr std::uint32_t kFlagBinary = 0x0001;
inline constexpr std::uint32_t kFlagParity = 0x0002;
inline constexpr std::uint32_t kFlagOutxCts = 0x0004;
inline constexpr std::uint32_t kFlagOutxDsr = 0x0008;
inline constexpr std::uint32_t kFlagDtrMask = 0x0030;
inline constexpr std::uint32_t kFlagDtrOn = 0x0010;
inline constexpr std::uint32_t kFlagDtrHandshake = 0x0020;
inline constexpr std::uint32_t kFlagDsrSensitivity = 0x0040;
inline constexpr std::uint32_t kFlagRtsMask = 0x3000;
inline constexpr std::uint32_t kFlagRtsOn = 0x1000;
inline constexpr std::uint32_t kFlagRtsHandshake = 0x2000;
inline constexpr std::uint32_t kFlagRtsToggle = 0x3000;

struct SerialSettings {
  std::uint32_t baudRate = 9600;
  int dataBits = 8;    // 4 to 8
  int parity = 0;      // 0 none, 1 odd, 2 even, 3 mark, 4 space
  int stopBits = 0;    // 0 one, 1 one and a half, 2 two
  std::uint32_t flags = kFlagBinary | kFlagParity | kFlagDtrOn;
};

struct SerialStatus {
  std::uint32_t errors = 0;  // line error flags since the last query
  std::uint32_t inQueue = 0;
  std::uint32_t outQueue = 0;
  bool ctsHold = false;  // output held by clear-to-send
  bool dsrHold = false;
};

enum class WaitResult {
  Event,     // events holds the bits that happened
  Stopped,   // the stop event is set
  Failed,    // the wait failed; LastError() says why, a later wait may work
  Lost,      // the device is gone
};

class ISerialDevice {
 public:
  virtual ~ISerialDevice() = default;

  // Applies all settings; false when the device refuses one of them (the
  // settings it had stay in force).
  virtual bool Apply(const SerialSettings& settings) = 0;
  virtual bool SetQueueSizes(std::uint32_t in, std::uint32_t out) = 0;
  virtual bool SetEventMask(std::uint32_t mask) = 0;

  // Blocks until an event of the mask happens or stop is set.
  virtual WaitResult WaitEvent(IWaitableEvent& stop, std::uint32_t& events) = 0;

  // Bytes read (0 when none wait), or -1.
  virtual int Read(void* buf, int count) = 0;
  // Queues len bytes for sending, never waiting (not for the line, not for
  // room in the output queue); returns len, or -1 when they cannot all be
  // queued at once (the device does not drain its output, or is gone).
  virtual int Write(const void* buf, int len) = 0;
  // Fills status and clears the error flags; false when the port fails.
  virtual bool QueryStatus(SerialStatus& status) = 0;
  virtual bool PurgeIn() = 0;
  virtual bool PurgeOut() = 0;
  // Bytes written and not yet sent; 0 when none wait, or the device cannot tell.
  virtual std::uint32_t OutputPending() = 0;
  virtual bool SetDTR(bool on) = 0;
  virtual bool SetRTS(bool on) = 0;
  virtual bool SetBreak(bool on) = 0;

  virtual std::string LastError() const = 0;
  virtual bool Lost() const { return false; }
};

// Lets what the device still has to send go out for at most boundMs, then
// discards the rest, so that the last commands before a close reach the
// device and the close never waits for a line that does not drain. Nothing
// queued: returns at once and discards nothing (a pseudo-terminal would lose
// bytes already on their way to its other end). Waits with Clock().
void DrainOutput(ISerialDevice& device, std::uint32_t boundMs);
// The bound of a port's close: at 9600 baud about 240 bytes, a whole write
// command of three tracks followed by a reader's switch-off commands, with
// room for a USB adapter's latency.
inline constexpr std::uint32_t kCloseDrainMs = 250;
inline constexpr std::uint32_t kDrainPollMs = 5;

class ISerialBackend {
 public:
  virtual ~ISerialBackend() = default;
  virtual std::unique_ptr<IWaitableEvent> CreateEvent() = 0;
  // The device path a port name stands for (a path stays itself).
  virtual std::string DevicePath(const std::string& name) = 0;
  // Opens the device exclusively; on failure returns null and puts the
  // system's reason in error.
  virtual std::unique_ptr<ISerialDevice> Open(const std::string& path, std::string& error) = 0;
};

// The installed backend. Installing is done once at start-up; the backend
// outlives every device and event it made.
ISerialBackend& SerialBackend();
void SetSerialBackend(ISerialBackend* backend);
bool HasSerialBackend();

}  // namespace lumbra::platform
