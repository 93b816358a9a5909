#include "platform/win32/Win32ClaimTable.h"

#include <windows.h>

#include <map>

#include "platform/win32/Win32Text.h"

namespace lumbra::platform::win32 {
namespace {

// Every user may open what this creates, whatever the creator's defaults.
struct OpenToAll {
  SECURITY_DESCRIPTOR descriptor;
  SECURITY_ATTRIBUTES attributes;
  OpenToAll() {
    InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
    SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE);
    attributes = {sizeof(attributes), &descriptor, FALSE};
  }
};

class Win32ClaimTable final : public IClaimTable {
 public:
  Win32ClaimTable(HANDLE mapping, std::wstring name, std::size_t size)
      : fMapping(mapping), fName(std::move(name)), fSize(size) {}
  ~Win32ClaimTable() override {
    Unmap();
    for (auto& [slot, mutex] : fOwned) {
      ReleaseMutex(mutex);
      CloseHandle(mutex);
    }
    CloseHandle(fMapping);
  }

  std::uint32_t* Map() override {
    if (fView == nullptr) fView = MapViewOfFile(fMapping, FILE_MAP_ALL_ACCESS, 0, 0, fSize);
    return static_cast<std::uint32_t*>(fView);
  }
  void Unmap() override {
    if (fView != nullptr) UnmapViewOfFile(fView);
    fView = nullptr;
  }

  void Own(int slot) override {
    if (fOwned.count(slot) != 0) return;
    OpenToAll all;
    HANDLE mutex = CreateMutexW(&all.attributes, TRUE, SlotName(slot).c_str());
    if (mutex == nullptr) return;
    // Held by a dead copy and not yet taken over: it is this thread's now.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      DWORD got = WaitForSingleObject(mutex, 0);
      if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return;
      }
    }
    fOwned[slot] = mutex;
  }

  void Disown(int slot) override {
    auto it = fOwned.find(slot);
    if (it == fOwned.end()) return;
    ReleaseMutex(it->second);
    CloseHandle(it->second);
    fOwned.erase(it);
  }

  bool Abandoned(int slot) override {
    if (fOwned.count(slot) != 0) return false;
    HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, SlotName(slot).c_str());
    if (mutex == nullptr) return true;  // no copy holds it any more
    DWORD got = WaitForSingleObject(mutex, 0);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) ReleaseMutex(mutex);
    CloseHandle(mutex);
    return got != WAIT_TIMEOUT;
  }

 private:
  std::wstring SlotName(int slot) const { return fName + L".slot" + std::to_wstring(slot); }

  HANDLE fMapping;
  std::wstring fName;  // with its namespace
  std::size_t fSize;
  void* fView = nullptr;
  std::map<int, HANDLE> fOwned;
};

}  // namespace

std::unique_ptr<IClaimTable> Win32ClaimTables::Open(const std::string& name, std::size_t size) {
  OpenToAll all;
  // The global namespace reaches every session; creating there needs a right
  // that plain users may lack, and then the session's own namespace serves.
  for (const wchar_t* space : {L"Global\\", L"Local\\"}) {
    std::wstring full = space + Wide(name);
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &all.attributes, PAGE_READWRITE, 0,
                                        static_cast<DWORD>(size), full.c_str());
    if (mapping == nullptr) mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, full.c_str());
    if (mapping != nullptr) return std::make_unique<Win32ClaimTable>(mapping, full, size);
  }
  return nullptr;
}

}  // namespace lumbra::platform::win32
