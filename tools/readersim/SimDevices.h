#pragma once
// The simulated models, by name.
#include <memory>
#include <string>
#include <vector>

#include "readersim/SimHid.h"
#include "readersim/SimPort.h"

namespace readersim {

std::unique_ptr<SimDevice> MakeSimDevice(const std::string& model);
// The models that are USB HID devices (virtual HID devices, not ports).
std::unique_ptr<SimHidDevice> MakeSimHidDevice(const std::string& model);
std::vector<std::string> SimModels();

// Sends back every byte it gets; "swipe TEXT" sends TEXT and a carriage
// return.
class EchoDevice final : public SimDevice {
 public:
  std::string Model() const override { return "echo"; }
  void OnHostBytes(const std::string& bytes, SimPort& port) override { port.Write(bytes); }
  bool Command(const std::string& verb, const std::string& arg, SimPort& port) override;
  std::string Help() const override;
};

}  // namespace readersim
