#include "drivers/Drivers.h"

#include "drivers/sl10/SerialBadgeReader.h"
#include "drivers/slr45/RKM530.h"
#include "drivers/slu20/GlobalHidController.h"
#include "drivers/slu20/USBBadgeReader.h"
#include "drivers/slu4x/SLU42.h"
#include "drivers/slu4x/SLU43.h"
#include "drivers/smw46/SMW46.h"
#include "drivers/sw30/SerialBadgeWriter2.h"
#include "drivers/swu41/SWU41.h"
#include "reader/CustomBadgeReader.h"

namespace lumbra {

// Each driver family adds its names here, in the order of module start-up.
void RegisterReaderModels() {
  RegisterBadgeReader("SL-10", ReaderClassOf<TSerialBadgeReader>());
  RegisterBadgeReader("SLU-20", ReaderClassOf<TUSBBadgeReader>());
  RegisterBadgeReader("SW-30", ReaderClassOf<TSerialBadgeWriter2>());
  RegisterBadgeReader("SLU-43", ReaderClassOf<TSLU43BadgeReader>());
  RegisterBadgeReader("SLX-44", ReaderClassOf<TSLU43BadgeReader>());
  RegisterBadgeReader("SLU-42", ReaderClassOf<TSLU42BadgeReader>());
  RegisterBadgeReader("SMW-46", ReaderClassOf<TSMW46BadgeWriter>());
  RegisterBadgeReader("SLR-45", ReaderClassOf<TSLR45BadgeReader>());
  RegisterBadgeReader("SWU-41", ReaderClassOf<TSWU41BadgeWriter>());
}

void UnregisterReaderModels() {
  UnregisterBadgeReader("SL-10");
  UnregisterBadgeReader("SLU-20");
  UnregisterBadgeReader("SW-30");
  UnregisterBadgeReader("SLU-43");
  UnregisterBadgeReader("SLX-44");
  UnregisterBadgeReader("SLU-42");
  UnregisterBadgeReader("SMW-46");
  UnregisterBadgeReader("SLR-45");
  UnregisterBadgeReader("SWU-41");
}

void CreateSharedPortHolders() {
  Tdmsmw46::Shared();
}

void FreeSharedPortHolders() {
  Tdmsmw46::FreeShared();
  TGlobalHidController::FreeShared();
}

}  // namespace lumbra
