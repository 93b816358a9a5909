#pragma once
// Named tables through which the running copies of the program share USB
// readers: on Linux every copy on the machine (all users, all sessions), on
// Windows every copy of the user's session.
//
// Contract
// - Open opens the named table, creating it zero-filled with size bytes when
//   it does not exist yet, readable and writable by every user whatever the
//   umask. It returns null when the table can be neither opened nor created.
//   Two copies racing to create it end with the same table.
// - A table handle is used on the UI thread only. Map gives a writable view of
//   the size bytes as 32-bit slots (null when mapping fails) until Unmap.
//   There is no lock on the slots: they record which readers are taken.
// - What decides is the hold: Hold(key) takes the reader named key for this
//   handle alone and is false while any other handle, in this process or
//   another, holds it; Release(key) lets it go. Two copies racing for one
//   reader can never both hold it, also when the table has no free slot to
//   record it. A copy that ends however it ends (a crash, a kill) lets go of
//   what it held, so that a dead copy never keeps a reader from the living.
// - Held(key) tells whether some live handle, this one included, holds key;
//   a slot whose value nobody holds is free.
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
  virtual bool Hold(std::uint32_t key) = 0;
  virtual void Release(std::uint32_t key) = 0;
  virtual bool Held(std::uint32_t key) = 0;
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
