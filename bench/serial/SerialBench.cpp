// Prints the latency from bytes written by a simulated device to OnReceive on
// the UI thread (median and worst of 1000), and the CPU time an open port
// takes over 10 seconds, idle and after its device hung up.
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

#include "comm/comWin32.h"
#include "platform/fake/FakeMessageLoop.h"
#include "platform/linux/TermiosSerial.h"
#include "readersim/SimDevices.h"

using namespace lumbra;
using Clock = std::chrono::steady_clock;

namespace {

double CpuSeconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The UI thread just sleeps (an idle port hands it nothing), so the CPU the
// process uses is the port's.
double IdleCpu(int seconds) {
  const double before = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  return CpuSeconds() - before;
}

}  // namespace

int main() {
  platform::FakeMessageLoop loop;
  loop.Install();
  platform::TermiosSerialBackend backend;
  platform::SetSerialBackend(&backend);
  platform::HWND host = loop.CreateMessageWindow([](platform::TMessage&) {});
  readersim::SimPort sim(std::make_unique<readersim::EchoDevice>());

  Owned<TComm32> comm(new TComm32(host));
  Clock::time_point sent;
  std::vector<double> us;
  bool got = false;
  comm->OnReceive = [&](TObject*, std::int32_t n) {
    char buf[64];
    comm->Read(buf, std::min(n, 64));
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - sent).count());
    got = true;
  };
  comm->SetDeviceName(sim.SlavePath());
  comm->Open();
  for (int i = 0; i < 1000; ++i) {
    got = false;
    sent = Clock::now();
    sim.Write("x");
    if (!loop.PumpUntil([&] { return got; }, std::chrono::seconds(5))) {
      std::fprintf(stderr, "byte %d never arrived\n", i);
      return 1;
    }
  }
  std::sort(us.begin(), us.end());
  std::printf("receive latency, device write to OnReceive on the UI thread (1000 bytes):\n");
  std::printf("  median %.1f us, worst %.1f us\n", us[us.size() / 2], us.back());

  const double idle = IdleCpu(10);
  std::printf("open idle port, CPU over 10 s: %.3f ms\n", idle * 1000);
  sim.Unplug();
  loop.PumpUntil([&] { return comm->EventThread() && comm->EventThread()->Finished(); },
                 std::chrono::seconds(5));
  const double hung = IdleCpu(10);
  std::printf("open port after hang-up, CPU over 10 s: %.3f ms (event thread woke %llu times)\n",
              hung * 1000,
              static_cast<unsigned long long>(comm->EventThread() ? comm->EventThread()->Wakeups() : 0));
  comm.reset();
  platform::SetSerialBackend(nullptr);
  return 0;
}
