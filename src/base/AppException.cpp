#include "base/AppException.h"

#include <cstdio>
#include <mutex>

#include "base/Exceptions.h"

namespace lumbra {
namespace {
std::mutex gMutex;
TExceptionEvent gHandler;
}  // namespace

void SetApplicationExceptionHandler(TExceptionEvent handler) {
  std::lock_guard lock(gMutex);
  gHandler = std::move(handler);
}

bool HasApplicationExceptionHandler() {
  std::lock_guard lock(gMutex);
  return static_cast<bool>(gHandler);
}

void HandleCurrentException(TObject* Sender) {
  TExceptionEvent handler;
  {
    std::lock_guard lock(gMutex);
    handler = gHandler;
  }
  if (!handler) return;
  try {
    try {
      throw;
    } catch (const std::exception& e) {
      handler(Sender, e);
    } catch (...) {
      handler(Sender, Exception("Unknown error"));
    }
  } catch (const std::exception& e) {
    // The handler itself failed; nothing above us may see an exception.
    std::fprintf(stderr, "lumbra: error handler failed: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "lumbra: error handler failed\n");
  }
}

}  // namespace lumbra
