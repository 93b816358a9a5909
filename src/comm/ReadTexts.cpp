#include "comm/ReadTexts.h"

#include <deque>
#include <mutex>
#include <unordered_map>

#include "comm/DeviceMessages.h"

namespace lumbra {
namespace {

struct Pending {
  std::mutex lock;
  std::unordered_map<platform::HWND, std::deque<AnsiString>> texts;
};

Pending& Texts() {
  static Pending pending;
  return pending;
}

}  // namespace

bool PostTesseraRead(platform::HWND owner, platform::WPARAM id, const AnsiString& text) {
  if (!platform::HasMessageLoop()) return false;
  Pending& p = Texts();
  // Queued and posted under one lock, so that the texts of two posting
  // threads cannot pass each other on the way to their messages.
  std::lock_guard guard(p.lock);
  auto& queue = p.texts[owner];
  queue.push_back(text);
  if (platform::MessageLoop().PostMessage(owner, WM_TESSERA_READ, id, trDataReady)) return true;
  queue.pop_back();
  if (queue.empty()) p.texts.erase(owner);
  return false;
}

std::optional<AnsiString> TakeTesseraRead(platform::HWND owner) {
  Pending& p = Texts();
  std::lock_guard guard(p.lock);
  auto it = p.texts.find(owner);
  if (it == p.texts.end()) return std::nullopt;
  AnsiString text = std::move(it->second.front());
  it->second.pop_front();
  if (it->second.empty()) p.texts.erase(it);
  return text;
}

void DropTesseraReads(platform::HWND owner) {
  Pending& p = Texts();
  std::lock_guard guard(p.lock);
  p.texts.erase(owner);
}

}  // namespace lumbra
