#pragma once
// Fetches firmware packages over HTTP(S) on a worker thread, checks their MD5 digest,
// caches them for DFU and serves pieces of them to the reader link.
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

enum DownloadState : int32_t {
  DOWNLOAD_READY = 0,
  DOWNLOAD_RUNNING = 1,
  DOWNLOAD_FAILED = 2,
  DOWNLOAD_BAD_DIGEST = 3,
  DOWNLOAD_IDLE = 4,
};

// Called on the worker with the verified package's path (context, path).
using EnterDfuCallbackFn = void (*)(void* context, const char* packagePath);

class UpgradeDownloader {
 public:
  UpgradeDownloader() = default;
  ~UpgradeDownloader() = default;  // placeholder until the downloader is built
  UpgradeDownloader(const UpgradeDownloader&) = delete;
  UpgradeDownloader& operator=(const UpgradeDownloader&) = delete;
};
