#pragma once
// The reader models this program ships, registered at start and removed at the end.
namespace lumbra {

void RegisterReaderModels();
void UnregisterReaderModels();

}  // namespace lumbra
