#include "readersim/SimDevices.h"

namespace readersim {

bool EchoDevice::Command(const std::string& verb, const std::string& arg, SimPort& port) {
  if (verb == "send") return port.Write(arg);
  if (verb == "swipe") return port.Write(arg + "\r");
  return false;
}

std::string EchoDevice::Help() const {
  return "send TEXT    send TEXT to the host\n"
         "swipe TEXT   send TEXT and a carriage return\n";
}

std::unique_ptr<SimDevice> MakeSimDevice(const std::string& model) {
  if (model == "echo") return std::make_unique<EchoDevice>();
  return nullptr;
}

std::vector<std::string> SimModels() { return {"echo"}; }

}  // namespace readersim
