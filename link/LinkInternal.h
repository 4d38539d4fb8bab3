#pragma once
// Pieces shared by the files of the reader link; not part of its interface.
#include <memory>

#include "link/Brisk7Service.h"

namespace brisk::link {

// Creates the service's downloader, handing it the enter-DFU callback.
std::unique_ptr<download::UpgradeDownloader> MakeDownloader(EnterDfuCallback callback);

}  // namespace brisk::link
