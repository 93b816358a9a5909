#include "app/SystemServices.h"

#include "app/InstallLayout.h"
#include "app/sndkey32.h"
#include "app/uRCLocalize.h"
#include "base/Text.h"
#include "comm/PortDiscovery.h"
#include "comm/comWin32.h"

namespace lumbra::app {

TAppServices SystemServices(const std::string& executablePath) {
  TAppServices services;
  services.typeKeys = TypeKeys;
  services.enumComPorts = [] {
    std::vector<std::string> ports;
    TComm32::EnumComPorts(ports);
    return ports;
  };
  services.findUsbSerialPort = [] { return FindUsbSerialPort(); };
  services.findProlificPort = [] { return AnsiToText(FindProlificPort()); };
  // The language files lie beside the program, or in its installed data folder.
  services.createLanguageManager = [folder = DataFolder(executablePath)] {
    return std::unique_ptr<TCustomLocalizeManager>(new TRCLocalizeManager(folder));
  };
  return services;
}

}  // namespace lumbra::app
