#pragma once
// Serial devices on the Win32 communications API: overlapped handles, the
// event mask waited on with WaitCommEvent, line errors from ClearCommError.
// Reads use time-outs that return at once with whatever has arrived.
//
// Under Wine a port that is a pseudo-terminal lets WaitCommEvent complete with
// an empty mask or fail as aborted, ClearCommError reports no queued bytes,
// and reads do not end at once by the time-outs. An empty mask or an aborted
// wait is therefore taken as "bytes may wait": the caller reads, and when that
// read found nothing the next wait first lets a short interval pass, so such a
// port is polled rather than spun on; a read still waiting is cancelled; and
// when the system counts no queued bytes, the status reads ahead what waits
// and counts that. When its other end hangs up, the wait fails as "not ready"
// and only a read fails as a broken pipe, so a failed wait is followed by a
// read, which tells a port that is gone.
#include "platform/SerialPort.h"

namespace lumbra::platform::win32 {

class Win32SerialBackend final : public ISerialBackend {
 public:
  std::unique_ptr<IWaitableEvent> CreateEvent() override;
  // "COMn" (any n) is \\.\COMn; anything else is used as it is.
  std::string DevicePath(const std::string& name) override;
  std::unique_ptr<ISerialDevice> Open(const std::string& path, std::string& error) override;
};

}  // namespace lumbra::platform::win32
