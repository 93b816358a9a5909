#pragma once
// Claim tables in POSIX shared memory, shared by every user's copies of the
// program (mode 0666 whatever the umask).
//
// A reader is held through an open-file-description lock on a byte of the
// table's descriptor chosen by its key: each Open has a descriptor of its own,
// the lock is exclusive between descriptors of any process, and the system
// drops it when the copy ends however it ends.
#include <string>

#include "platform/ClaimTable.h"

namespace lumbra::platform {

class PosixClaimTableBackend final : public IClaimTableBackend {
 public:
  // prefix goes before every table's name (tests keep to tables of their own).
  explicit PosixClaimTableBackend(std::string prefix = {}) : fPrefix(std::move(prefix)) {}
  // name is the table's name, with or without the leading "/".
  std::unique_ptr<IClaimTable> Open(const std::string& name, std::size_t size) override;

 private:
  std::string fPrefix;
};

}  // namespace lumbra::platform
