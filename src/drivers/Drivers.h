#pragma once
// The reader models this program ships, registered at start and removed at the end.
namespace lumbra {

void RegisterReaderModels();
void UnregisterReaderModels();

// The port holders every driver of a family shares, made by the program right
// after its main window (a driver that comes first makes them itself) and
// freed at its end, once no driver is left.
void CreateSharedPortHolders();
void FreeSharedPortHolders();

}  // namespace lumbra
