#pragma once
// The services every program gives the main window model alike, whatever its
// view: typing through the installed keyboard, the serial ports, and the
// language files of the program's data folder. The view adds its dialogs.
#include <string>

#include "app/UEmuTas.h"

namespace lumbra::app {

TAppServices SystemServices(const std::string& executablePath);

}  // namespace lumbra::app
