// lumbra-readersim MODEL [LINK]: runs a simulated reader on a pseudo-terminal,
// prints the port to open, and takes commands (a card swipe, unplugging) from
// standard input, one per line. A USB HID model (SLU-20) is a virtual HID
// device instead: lumbra-readersim SLU-20 [NUMBER] prints its socket, and
// NUMBER picks its instance number.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>

#include "readersim/SimDevices.h"

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3) {
    std::fprintf(
        stderr,
        "usage: lumbra-readersim MODEL [LINK]\n       lumbra-readersim SLU-20 [NUMBER]\nmodels:");
    for (const auto& m : readersim::SimModels()) std::fprintf(stderr, " %s", m.c_str());
    std::fprintf(stderr, "\n");
    return 2;
  }
  if (auto hid = readersim::MakeSimHidDevice(argv[1]))
    return readersim::RunSimHid(std::move(hid), argc == 3 ? argv[2] : "");
  auto device = readersim::MakeSimDevice(argv[1]);
  if (!device) {
    std::fprintf(stderr, "lumbra-readersim: unknown model %s\n", argv[1]);
    return 2;
  }
  const std::string help = device->Help();
  try {
    readersim::SimPort port(std::move(device), argc == 3 ? argv[2] : "");
    std::printf("%s\n", port.PortPath().c_str());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
      if (line.empty()) continue;
      if (line == "quit") break;
      if (line == "help") {
        std::printf(
            "%ssend BYTES       raw bytes on the line (\\r, \\n, \\xHH)\n"
            "pause MS         wait before the next command\n"
            "off | on         switch the device off (silent) and on (fresh)\n"
            "reset            switch it off and on at once\n"
            "lose BYTE        the device's next answer loses its first BYTE\n"
            "unplug           hang up the line\n"
            "plug             plug back in\n"
            "quit\n",
            help.c_str());
      } else if (!port.Command(line)) {
        std::printf("? %s\n", line.c_str());
      } else if (line == "plug") {
        std::printf("%s\n", port.SlavePath().c_str());
      } else if (line.rfind("swipe", 0) == 0 || line.rfind("cut", 0) == 0 ||
                 line.rfind("present", 0) == 0) {
        // When the frame has been handed to the line (the monotonic clock, in
        // nanoseconds), for measuring the way from reader to typed key.
        std::printf("sent %lld\n",
                    static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                               std::chrono::steady_clock::now().time_since_epoch())
                                               .count()));
      }
      std::fflush(stdout);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "lumbra-readersim: %s\n", e.what());
    return 1;
  }
  return 0;
}
