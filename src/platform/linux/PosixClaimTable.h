#pragma once
// Claim tables in POSIX shared memory, shared by every user's copies of the
// program (mode 0666 whatever the umask).
//
// Slots are owned through open-file-description locks on the slot's four
// bytes of the table's descriptor: each Open has a descriptor of its own, and
// the system drops its locks when the copy ends however it ends, so a slot
// whose value no live copy holds a lock on is abandoned.
#include "platform/ClaimTable.h"

namespace lumbra::platform {

class PosixClaimTableBackend final : public IClaimTableBackend {
 public:
  // name is the table's name, with or without the leading "/".
  std::unique_ptr<IClaimTable> Open(const std::string& name, std::size_t size) override;
};

}  // namespace lumbra::platform
