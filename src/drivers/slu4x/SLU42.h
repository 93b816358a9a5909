#pragma once
// Driver of model "SLU-42": the SLU-4x reader limited to track 2.
#include "drivers/slu4x/SLU43.h"

namespace lumbra {

class TSLU42BadgeReader : public TSLU43BadgeReader {
  LUMBRA_READER_CLASS(TSLU42BadgeReader)
 public:
  using TSLU43BadgeReader::TSLU43BadgeReader;
  static bool TrackSupported(std::int32_t t) { return t == 2; }
  void SetTrack(std::int32_t value) override;
};

}  // namespace lumbra
