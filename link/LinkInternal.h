#pragma once
// Pieces shared by the files of the reader link; not part of its interface.
#include <memory>

#include "link/Brisk7Service.h"

namespace brisk::link {

// Creates the service's downloader, handing it the window and its enter-DFU callback.
std::unique_ptr<download::UpgradeDownloader> MakeDownloader(void* window,
                                                            EnterDfuCallback callback);

}  // namespace brisk::link
