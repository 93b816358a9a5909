#include "drivers/slu4x/SLU42.h"

namespace lumbra {

void TSLU42BadgeReader::SetTrack(std::int32_t value) {
  if (value != 2) throw EBadgeError("Invalid track value: only track 2 is enabled");
  fTrack = 2;
}

}  // namespace lumbra
