// The test program's entry: a child mode for the tests that need a second
// process (it runs the named helper and exits with its status), else the tests.
#include <gtest/gtest.h>

#include <cstring>

#include "Win32TestChild.h"

int main(int argc, char** argv) {
  if (argc >= 2 && std::strcmp(argv[1], "--child") == 0)
    return lumbra::platform::win32::test::RunChild(argc - 2, argv + 2);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
