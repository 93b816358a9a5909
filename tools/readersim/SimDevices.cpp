#include "readersim/SimDevices.h"

#include "readersim/SimReaders.h"
#include "readersim/SimRfid.h"
#include "readersim/SimSLU20.h"
#include "readersim/SimSMW46.h"
#include "readersim/SimSW30.h"
#include "readersim/SimSWU41.h"

namespace readersim {

bool EchoDevice::Command(const std::string& verb, const std::string& arg, SimPort& port) {
  if (verb == "swipe") return port.Write(arg + "\r");
  return false;
}

std::string EchoDevice::Help() const {
  return "swipe TEXT   send TEXT and a carriage return\n";
}

std::unique_ptr<SimDevice> MakeSimDevice(const std::string& model) {
  if (model == "echo") return std::make_unique<EchoDevice>();
  if (model == "SL-10") return std::make_unique<SL10Device>();
  if (model == "SW-30") return std::make_unique<SW30Device>();
  if (model == "SLU-42" || model == "SLU-43" || model == "SLX-44")
    return std::make_unique<SLU4xDevice>(model);
  if (model == "SMW-46") return std::make_unique<SMW46Device>();
  if (model == "SLR-45") return std::make_unique<SLR45Device>();
  if (model == "SWU-41") return std::make_unique<SWU41Device>();
  return nullptr;
}

std::unique_ptr<SimHidDevice> MakeSimHidDevice(const std::string& model) {
  if (model == "SLU-20") return std::make_unique<SLU20Device>();
  return nullptr;
}

std::vector<std::string> SimModels() {
  return {"echo",   "SL-10",  "SLU-20", "SLU-42", "SLU-43",
          "SLX-44", "SLR-45", "SMW-46", "SW-30",  "SWU-41"};
}

}  // namespace readersim
