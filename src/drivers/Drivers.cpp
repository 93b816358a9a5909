#include "drivers/Drivers.h"

#include "reader/CustomBadgeReader.h"

namespace lumbra {

// Each driver family adds its names here, in the order of module start-up.
void RegisterReaderModels() {}

void UnregisterReaderModels() {}

}  // namespace lumbra
