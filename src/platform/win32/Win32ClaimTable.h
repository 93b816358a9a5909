#pragma once
// Claim tables as named file mappings backed by the paging file, open to every
// user (a null access list), in the session's namespace. A copy holds a
// reader with a named mutex of that reader: a copy that dies leaves it
// abandoned, which the next one to ask takes over.
#include <string>

#include "platform/ClaimTable.h"

namespace lumbra::platform::win32 {

class Win32ClaimTables final : public IClaimTableBackend {
 public:
  std::unique_ptr<IClaimTable> Open(const std::string& name, std::size_t size) override;
  // The table's object name, namespace included.
  static std::wstring TableName(const std::string& name);
};

}  // namespace lumbra::platform::win32
