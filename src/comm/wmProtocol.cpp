#include "comm/wmProtocol.h"

#include <chrono>

namespace lumbra {

double NowDateTime() {
  using namespace std::chrono;
  constexpr double kUnixEpochDays = 25569.0;  // 1970-01-01 in days since 1899-12-30
  double ms = static_cast<double>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
  return kUnixEpochDays + ms / 86400000.0;
}

bool PostStdMessage(platform::HWND hwnd, std::unique_ptr<TStdMessage> msg) {
  // A notice still queued when its window goes is released by the loop.
  static const bool releaseRegistered = [] {
    platform::SetDroppedRelease(WM_VECTOR_NOTICE, 1,
                                [](platform::LPARAM lParam) { TakeStdMessage(lParam).reset(); });
    return true;
  }();
  (void)releaseRegistered;
  auto lParam = reinterpret_cast<platform::LPARAM>(msg.get());
  if (!platform::HasMessageLoop() ||
      !platform::MessageLoop().PostMessage(hwnd, WM_VECTOR_NOTICE, 1, lParam))
    return false;  // msg still owns the record and releases it here
  msg.release();
  return true;
}

std::unique_ptr<TStdMessage> TakeStdMessage(platform::LPARAM lParam) {
  return std::unique_ptr<TStdMessage>(reinterpret_cast<TStdMessage*>(lParam));
}

}  // namespace lumbra
