#include "support/ReaderEvents.h"

namespace lumbra::test {

void RecordReaderEvents(TCustomBadgeReader& reader, ReaderEvents& events, BadgeShow show) {
  reader.OnReadedBadge = [&events, show](TObject*, const AnsiString& t) {
    events.push_back("read " + (show ? show(t) : t));
  };
  reader.OnChangedBadgeStatus = [&events](TObject*, std::int32_t s) {
    events.push_back("status " + std::to_string(s));
  };
  reader.OnBadCRCData = [&events](TObject*) { events.push_back("badcrc"); };
  reader.OnFailReadBadge = [&events](TObject*) { events.push_back("fail"); };
  reader.OnBadInsertBadge = [&events](TObject*) { events.push_back("badinsert"); };
  reader.OnTimeout = [&events](TObject*) { events.push_back("timeout"); };
  reader.OnRestore = [&events](TObject*) { events.push_back("restore"); };
  reader.OnError = [&events](TObject*, std::uint8_t, std::uint8_t, const std::string& m) {
    events.push_back("error " + m);
  };
}

std::string BadgeErrorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const EBadgeError& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace lumbra::test
