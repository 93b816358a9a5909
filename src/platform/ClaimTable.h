#pragma once
// Named tables shared by every running copy of the program on the machine
// (all users, all sessions), through which the copies share USB readers.
//
// Contract
// - Open opens the named table, creating it zero-filled with size bytes when
//   it does not exist yet, readable and writable by every user whatever the
//   umask. It returns null when the table can be neither opened nor created.
//   Two copies racing to create it end with the same table.
// - A table handle is used on the UI thread only. Map gives a writable view of
//   the size bytes as 32-bit slots (null when mapping fails) until Unmap.
//   There is no lock between copies: each change is one short scan.
// - A copy that writes its claim into a slot calls Own(slot); Disown(slot)
//   when it clears it. A copy that ends without clearing its slots (a crash,
//   a kill) leaves them abandoned: Abandoned(slot) is then true in every
//   other copy, so that a dead copy never keeps a device from the living.
//   A slot owned by a live copy, this one included, is never abandoned.
//   Backends that cannot tell answer false.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace lumbra::platform {

class IClaimTable {
 public:
  virtual ~IClaimTable() = default;
  virtual std::uint32_t* Map() = 0;
  virtual void Unmap() = 0;
  virtual void Own(int slot) = 0;
  virtual void Disown(int slot) = 0;
  virtual bool Abandoned(int slot) = 0;
};

class IClaimTableBackend {
 public:
  virtual ~IClaimTableBackend() = default;
  virtual std::unique_ptr<IClaimTable> Open(const std::string& name, std::size_t size) = 0;
};

// The installed backend; without one, no table can be opened.
IClaimTableBackend& ClaimTables();
void SetClaimTableBackend(IClaimTableBackend* backend);

}  // namespace lumbra::platform
