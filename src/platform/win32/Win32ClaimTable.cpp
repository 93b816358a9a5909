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

// A mutex is owned by a thread and taken again by it at once: handles of one
// process tell their holds apart here (UI thread only).
std::map<std::wstring, int>& HeldInProcess() {
  static std::map<std::wstring, int> held;
  return held;
}

class Win32ClaimTable final : public IClaimTable {
 public:
  Win32ClaimTable(HANDLE mapping, std::wstring name, std::size_t size)
      : fMapping(mapping), fName(std::move(name)), fSize(size) {}
  ~Win32ClaimTable() override {
    Unmap();
    for (auto& [key, mutex] : fHeld) {
      HeldInProcess().erase(HoldName(key));
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

  bool Hold(std::uint32_t key) override {
    if (fHeld.count(key) != 0) return true;
    if (HeldInProcess().count(HoldName(key)) != 0) return false;
    OpenToAll all;
    HANDLE mutex = CreateMutexW(&all.attributes, TRUE, HoldName(key).c_str());
    if (mutex == nullptr) return false;
    // It exists: held by a live copy, or left by a dead one (then it is ours now).
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
      const DWORD got = WaitForSingleObject(mutex, 0);
      if (got != WAIT_OBJECT_0 && got != WAIT_ABANDONED) {
        CloseHandle(mutex);
        return false;
      }
    }
    fHeld[key] = mutex;
    HeldInProcess()[HoldName(key)] = 1;
    return true;
  }

  void Release(std::uint32_t key) override {
    auto it = fHeld.find(key);
    if (it == fHeld.end()) return;
    ReleaseMutex(it->second);
    CloseHandle(it->second);
    HeldInProcess().erase(HoldName(key));
    fHeld.erase(it);
  }

  bool Held(std::uint32_t key) override {
    if (fHeld.count(key) != 0 || HeldInProcess().count(HoldName(key)) != 0) return true;
    HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, HoldName(key).c_str());
    if (mutex == nullptr) return false;  // nobody holds it any more
    const DWORD got = WaitForSingleObject(mutex, 0);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) ReleaseMutex(mutex);
    CloseHandle(mutex);
    return got == WAIT_TIMEOUT;
  }

 private:
  std::wstring HoldName(std::uint32_t key) const {
    return fName + L".reader" + std::to_wstring(key);
  }

  HANDLE fMapping;
  std::wstring fName;  // with its namespace
  std::size_t fSize;
  void* fView = nullptr;
  std::map<std::uint32_t, HANDLE> fHeld;  // mutexes owned by the UI thread
};

}  // namespace

std::unique_ptr<IClaimTable> Win32ClaimTables::Open(const std::string& name, std::size_t size) {
  OpenToAll all;
  const std::wstring full = TableName(name);
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, &all.attributes, PAGE_READWRITE, 0,
                                      static_cast<DWORD>(size), full.c_str());
  if (mapping == nullptr) mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, full.c_str());
  if (mapping == nullptr) return nullptr;
  return std::make_unique<Win32ClaimTable>(mapping, full, size);
}

std::wstring Win32ClaimTables::TableName(const std::string& name) {
  // One namespace only, the session's: every copy may create there, elevated
  // or not. With a fallback between two namespaces a copy lacking the right
  // to create global objects and one having it would each make a table.
  return L"Local\\" + Wide(name);
}

}  // namespace lumbra::platform::win32
