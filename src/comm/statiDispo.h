#pragma once

namespace lumbra {

// Device status as the protocols maintain it.
enum TStatiDispo : int {
  sdStart = 0,    // started, no answer yet
  sdAttivo = 1,   // answering
  sdTimeout = 2,  // not answering
};

// Exchange state of a protocol.
enum TStatoColloquio : int {
  scNoData = 0,  // nothing pending
  scAttesa = 1,  // waiting for an answer
};

}  // namespace lumbra
