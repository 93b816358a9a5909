#include "platform/win32/Win32ClaimTable.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "Win32TestChild.h"

namespace lumbra::platform::win32 {
namespace {

TEST(Win32ClaimTable, TwoProcessesShareTheTableAndADeadOnesSlotIsAbandoned) {
  const std::string id = std::to_string(GetCurrentProcessId());
  const std::string name = "LumbraClaimTest" + id;
  Win32ClaimTables tables;
  auto table = tables.Open(name, 80);
  ASSERT_TRUE(table);
  std::uint32_t* slots = table->Map();
  ASSERT_NE(slots, nullptr);
  for (int i = 0; i < 20; ++i) EXPECT_EQ(slots[i], 0u) << i;  // created zero-filled
  slots[0] = 0xA11CEu;
  table->Own(0);

  const std::string readyName = "LumbraReady" + id, goName = "LumbraGo" + id;
  HANDLE ready =
      CreateEventW(nullptr, TRUE, FALSE, std::wstring(readyName.begin(), readyName.end()).c_str());
  HANDLE go =
      CreateEventW(nullptr, TRUE, FALSE, std::wstring(goName.begin(), goName.end()).c_str());
  std::uintptr_t child = test::StartChild("claim", {name, readyName, goName});
  ASSERT_NE(child, 0u);
  ASSERT_EQ(WaitForSingleObject(ready, 20000), WAIT_OBJECT_0);
  EXPECT_EQ(slots[2], 0xC0FFEEu);     // the child's write, seen through this copy's view
  EXPECT_FALSE(table->Abandoned(2));  // its copy lives
  EXPECT_FALSE(table->Abandoned(0));  // this copy's own

  SetEvent(go);
  EXPECT_EQ(test::WaitChild(child, 20000), 0);  // it saw this copy's mark
  EXPECT_TRUE(table->Abandoned(2));
  EXPECT_FALSE(table->Abandoned(0));
  table->Own(2);  // taken over from the dead copy
  EXPECT_FALSE(table->Abandoned(2));
  table->Disown(2);
  table->Disown(0);

  // A second handle in this process sees the same bytes.
  auto again = tables.Open(name, 80);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->Map()[2], 0xC0FFEEu);
  CloseHandle(ready);
  CloseHandle(go);
}

}  // namespace
}  // namespace lumbra::platform::win32
