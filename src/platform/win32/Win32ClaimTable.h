#pragma once
// Claim tables as named file mappings backed by the paging file, open to every
// user (a null access list). A copy marks the slots it owns with named
// mutexes it holds: a copy that dies leaves them abandoned, which the others
// see when they can take the mutex (or it is gone).
#include "platform/ClaimTable.h"

namespace lumbra::platform::win32 {

class Win32ClaimTables final : public IClaimTableBackend {
 public:
  std::unique_ptr<IClaimTable> Open(const std::string& name, std::size_t size) override;
};

}  // namespace lumbra::platform::win32
