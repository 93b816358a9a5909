#pragma once
// The application's one error handler. Exceptions that reach the message loop
// (raised in window message handlers and reader events) are passed here so the
// program can show them and go on.
#include <exception>
#include <functional>

namespace lumbra {

class TObject;

using TExceptionEvent = std::function<void(TObject* Sender, const std::exception& E)>;

void SetApplicationExceptionHandler(TExceptionEvent handler);
bool HasApplicationExceptionHandler();

// Call from inside a catch block: routes the exception being handled to the
// installed handler, or drops it when none is installed. Never throws.
void HandleCurrentException(TObject* Sender);

}  // namespace lumbra
