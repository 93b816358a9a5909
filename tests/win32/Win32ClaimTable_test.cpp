#include "platform/win32/Win32ClaimTable.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "Win32TestChild.h"

namespace lumbra::platform::win32 {
namespace {

TEST(Win32ClaimTable, TwoProcessesShareTheTableAndADeadOneLetsGoOfItsReader) {
  const std::string id = std::to_string(GetCurrentProcessId());
  const std::string name = "LumbraClaimTest" + id;
  Win32ClaimTables tables;
  auto table = tables.Open(name, 80);
  ASSERT_TRUE(table);
  std::uint32_t* slots = table->Map();
  ASSERT_NE(slots, nullptr);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(slots[i], 0u) << i;  // created zero-filled
  slots[0] = 0xA11CEu;
  ASSERT_TRUE(table->Hold(0xA11CEu));

  const std::string readyName = "LumbraReady" + id, goName = "LumbraGo" + id;
  HANDLE ready =
      CreateEventW(nullptr, TRUE, FALSE, std::wstring(readyName.begin(), readyName.end()).c_str());
  HANDLE go =
      CreateEventW(nullptr, TRUE, FALSE, std::wstring(goName.begin(), goName.end()).c_str());
  std::uintptr_t child = test::StartChild("claim", {name, readyName, goName});
  ASSERT_NE(child, 0u);
  ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
  EXPECT_EQ(slots[2], 0xC0FFEEu);  // the child's write, seen through this copy's view
  EXPECT_TRUE(table->Held(0xC0FFEEu));
  EXPECT_FALSE(table->Hold(0xC0FFEEu)) << "the child holds it";

  SetEvent(go);
  EXPECT_EQ(test::WaitChild(child, 20000), 0) << "it saw this copy's mark and hold";
  EXPECT_FALSE(table->Held(0xC0FFEEu)) << "its copy is dead";
  EXPECT_TRUE(table->Hold(0xC0FFEEu)) << "taken over from the dead copy";

  // A second handle in this process sees the same bytes and the same holds.
  auto again = tables.Open(name, 80);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Map()[2], 0xC0FFEEu);
  EXPECT_TRUE(again->Held(0xA11CEu));
  EXPECT_FALSE(again->Hold(0xA11CEu)) << "held by the other handle of this process";
  table->Release(0xA11CEu);
  EXPECT_TRUE(again->Hold(0xA11CEu));
  again->Release(0xA11CEu);
  table->Release(0xC0FFEEu);
  CloseHandle(ready);
  CloseHandle(go);
}

// Copies with and without the right to create global objects must meet in
// one table: it lives in the session's namespace alone, which every copy may
// create in, and nothing of it is made in the global one.
TEST(Win32ClaimTable, TheTableLivesInTheSessionNamespaceOnly) {
  const std::string name = "LumbraNamespaceTest" + std::to_string(GetCurrentProcessId());
  EXPECT_EQ(Win32ClaimTables::TableName(name), L"Local\\" + std::wstring(name.begin(), name.end()));
  Win32ClaimTables tables;
  auto table = tables.Open(name, 80);
  ASSERT_TRUE(table);
  table->Map()[5] = 77;
  const std::wstring wide(name.begin(), name.end());
  HANDLE local = OpenFileMappingW(FILE_MAP_READ, FALSE, (L"Local\\" + wide).c_str());
  ASSERT_NE(local, nullptr);
  void* view = MapViewOfFile(local, FILE_MAP_READ, 0, 0, 80);
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(static_cast<const std::uint32_t*>(view)[5], 77u);
  UnmapViewOfFile(view);
  CloseHandle(local);
  // The unprefixed name of a desktop program is the session's too.
  HANDLE plain = OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str());
  EXPECT_NE(plain, nullptr);
  if (plain != nullptr) CloseHandle(plain);
  HANDLE global = OpenFileMappingW(FILE_MAP_READ, FALSE, (L"Global\\" + wide).c_str());
  EXPECT_EQ(global, nullptr) << "a table in the global namespace would be a second one";
  if (global != nullptr) CloseHandle(global);
  ASSERT_TRUE(table->Hold(9));
  HANDLE hold = OpenMutexW(SYNCHRONIZE, FALSE, (L"Local\\" + wide + L".reader9").c_str());
  EXPECT_NE(hold, nullptr) << "the holds live beside the table";
  if (hold != nullptr) CloseHandle(hold);
  table->Release(9);
}

}  // namespace
}  // namespace lumbra::platform::win32
