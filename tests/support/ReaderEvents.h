#pragma once
// Records a reader's events as short texts ("read <badge>", "restore",
// "error <message>", ...) so that a test can compare whole sequences.
#include <functional>
#include <string>
#include <vector>

#include "reader/CustomBadgeReader.h"

namespace lumbra::test {

using ReaderEvents = std::vector<std::string>;

// Shows badge data in the read event; as it stands by default.
using BadgeShow = std::function<std::string(const AnsiString&)>;

void RecordReaderEvents(TCustomBadgeReader& reader, ReaderEvents& events, BadgeShow show = {});

// The message of the EBadgeError that action raises; "<no error>" when it raises none.
std::string BadgeErrorOf(const std::function<void()>& action);

}  // namespace lumbra::test
