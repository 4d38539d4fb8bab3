#include "download/UpgradeDownloader.h"
#include "link/Brisk7Service.h"
#include "link/LinkInternal.h"
#include "log/Log.h"

std::unique_ptr<UpgradeDownloader> MakeDownloader(void*, EnterDfuCallback) { return nullptr; }

void Brisk7Service::procDownloadUpgradeFile(const uint8_t* payload, int size) {
  WriteLogHex("upgrade download request: ", payload, size);
}

void Brisk7Service::procSendUpgradeFile(const uint8_t* payload, int size) {
  WriteLogHex("upgrade data request: ", payload, size);
}
