#pragma once
// The notice a transport posts to its host window (message WM_VECTOR_NOTICE,
// WParam 1, the record as LParam). Ownership travels with the message: the
// receiver releases it, and a poster whose post fails releases it at once.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/MessageLoop.h"

namespace lumbra {

class TObject;

inline constexpr std::uint32_t WM_VECTOR_NOTICE = platform::WM_USER + 1;

struct TStdMessage {
  virtual ~TStdMessage() = default;
  TObject* Mittente = nullptr;
  std::int32_t ID = 0;
  std::int32_t tipo = 0;  // 0: an error or warning text
  double orario = 0;      // days since 30 December 1899
  std::int32_t dataInt = 0;
  std::string dataStr;
};

// Current date-time (UTC) as days since 30 December 1899.
double NowDateTime();

// Posts msg to hwnd; on failure releases it and returns false.
bool PostStdMessage(platform::HWND hwnd, std::unique_ptr<TStdMessage> msg);

// Takes ownership of the record carried by a received WM_VECTOR_NOTICE.
std::unique_ptr<TStdMessage> TakeStdMessage(platform::LPARAM lParam);

}  // namespace lumbra
