#pragma once
// A reader model through the Win32 serial code, against its simulator on a
// pseudo-terminal that the Wine prefix maps to a COM port (LUMBRA_TEST_COM),
// the simulator's commands written to LUMBRA_TEST_SIM_INPUT (a pipe of the
// Linux side, reached through Wine's mapping of the file system). Virtual
// time drives the driver's timer; tests skip without a simulator.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/fake/FakeMessageLoop.h"
#include "platform/win32/Win32Serial.h"

namespace lumbra::test {

class SimulatedReaderTest : public ::testing::Test {
 protected:
  // False (and the test skipped) without a simulated reader.
  bool StartSimulated() {
    const char* com = std::getenv("LUMBRA_TEST_COM");
    const char* input = std::getenv("LUMBRA_TEST_SIM_INPUT");
    if (com == nullptr || input == nullptr) return false;
    port = com;
    simInput = input;
    loop.Install();
    platform::SetSerialBackend(&backend);
    return true;
  }
  void TearDown() override { platform::SetSerialBackend(nullptr); }
  void Sim(const std::string& command) {
    std::ofstream out(simInput, std::ios::app | std::ios::binary);  // "\n", not "\r\n"
    out << command << "\n";
    out.flush();
    ASSERT_TRUE(out.good()) << "cannot write to the simulator at " << simInput;
  }

  platform::FakeMessageLoop loop;
  platform::win32::Win32SerialBackend backend;
  std::string port, simInput;
};

}  // namespace lumbra::test
