#pragma once
// The firmware server: owns the downloader, answers the reader's download requests and polls
// (type 13) and serves the package in the chunks it asks for (type 14).
#include <cstdint>
#include <functional>
#include <memory>

#include "download/UpgradeDownloader.h"

namespace brisk::link {

// Called on the download worker with the verified package's path when the reader asked
// for a DFU upgrade.
using EnterDfuCallback = download::EnterDfuCallback;

class FirmwareServer {
 public:
  // write sends one frame's data (type byte and payload) to the reader.
  using Writer = std::function<int(const uint8_t* data, int size)>;
  FirmwareServer(EnterDfuCallback callback, Writer write);

  // A type-13 or type-14 frame's data (type byte and payload): answered with one frame.
  void Handle(const uint8_t* data, size_t size);
  download::UpgradeDownloader& Downloader() { return *m_downloader; }

 private:
  void procDownloadUpgradeFile(const uint8_t* payload, int size);
  void procSendUpgradeFile(const uint8_t* payload, int size);

  Writer m_write;
  std::unique_ptr<download::UpgradeDownloader> m_downloader;
};

}  // namespace brisk::link
