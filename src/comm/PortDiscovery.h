#pragma once
// Port numbers of port texts, and finding the port of a USB serial adapter in
// the table of serial devices.
#include <cstdint>
#include <string>
#include <vector>

#include "base/Text.h"

namespace lumbra {

// The number the trailing decimal digits of Text form ("COM12" gives 12); 0
// when Text is empty or does not end in a digit. Callers trim blanks first.
// A digit run too long for 32 bits raises ERangeError.
std::int32_t ComNumberFromText(const std::string& Text);

// The port of a Silicon Labs adapter if there is one (the first); otherwise
// that of the last other USB adapter (CDC ACM, FTDI, CH34x and the like);
// empty when there is none or the table cannot be read. Prolific adapters
// are left out: FindProlificPort is for them. Ports in passOver are not
// candidates.
std::string FindUsbSerialPort(const std::vector<std::string>& passOver = {});
AnsiString FindProlificPort(const std::vector<std::string>& passOver = {});

}  // namespace lumbra
