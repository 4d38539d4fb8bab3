#pragma once
// Fetches firmware packages over HTTP(S) on a worker thread, checks their MD5 digest,
// caches them for DFU and serves pieces of them to the reader link.
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace brisk::download {

enum DownloadState : int32_t {
  DOWNLOAD_READY = 0,
  DOWNLOAD_RUNNING = 1,
  DOWNLOAD_FAILED = 2,
  DOWNLOAD_BAD_DIGEST = 3,
  DOWNLOAD_IDLE = 4,
};

// A package larger than this is refused, and a transfer that has not ended after this long
// is given up, so a hostile server can neither fill the disk nor keep state 1 for ever.
inline constexpr int64_t kMaxPackageBytes = 64LL * 1024 * 1024;
inline constexpr int kDownloadDeadlineMs = 20 * 60 * 1000;
// The DFU cache keeps this many packages, the newest by modification time.
inline constexpr size_t kDfuCacheKeep = 3;

// Called on the worker with the verified package's path when the reader asked to enter DFU.
using EnterDfuCallback = std::function<void(const std::string& packagePath)>;
// Called when a download starts (DOWNLOAD_RUNNING, on the caller's thread) and when it fails
// (on the worker); forDfu: the reader asked to be flashed over DFU once the package is verified.
using DownloadActivityCallback = std::function<void(int32_t state, bool forDfu)>;

class UpgradeDownloader {
 public:
  UpgradeDownloader();
  // Stops a running worker after the read in progress and waits for it.
  ~UpgradeDownloader();
  UpgradeDownloader(const UpgradeDownloader&) = delete;
  UpgradeDownloader& operator=(const UpgradeDownloader&) = delete;

  // Starts a download unless one runs or an outcome waits to be reported.
  // digest: 32 hexadecimal characters, either case.
  void procDownload(const std::string& label, const std::string& digest, const std::string& url,
                    int32_t enterDfu);
  // State and bytes so far; a final state (0, 2, 3) is reported once, then becomes 4.
  void GetDownloadStatus(int32_t& state, int32_t& progress);
  // 1 when exactly length bytes of the verified package were read at offset, else 0.
  int GetData(uint32_t offset, uint32_t length, uint8_t* destination);
  void SetEnterDfuCallback(EnterDfuCallback callback);
  void SetActivityCallback(DownloadActivityCallback callback);
  // Off (the default): any HTTPS server certificate is accepted, since the package's MD5
  // digest is what is checked and platforms rely on that. On: the certificate and the host name
  // must verify against the system's certificate store, or the download fails. Taken by the
  // next request.
  void SetVerifyCertificates(bool verify);
  // Replaces the size bound and the overall deadline (tests use small ones).
  void SetLimits(int64_t maxBytes, int deadlineMs);

  // The package's file in the temporary folder for the current request; empty when the
  // folder is unsafe or the address's file name cannot be used.
  std::string MakeTempFilePath() const;

 private:
  // One request, copied for the worker so that a later request cannot change it under it.
  struct Request {
    std::string url;
    std::string md5;
    int32_t enterDfu = 0;
    bool verifyCertificates = false;
  };

  void startDownload(const std::string& url);
  void RunDownload(const Request& request);
  void Fetch(const Request& request, const std::string& path);
  void CopyToCache(const std::string& packagePath);
  void Finish(const Request& request, const std::string& path, const char* okText, int64_t size,
              bool setProgress);
  void SetState(int32_t state);
  void Tell(int32_t state);
  void FailAndRemove(const std::string& path);
  void AddProgress(size_t count);
  static std::string TempFilePath(const std::string& url, const std::string& md5);

  int32_t m_state = DOWNLOAD_IDLE;
  int32_t m_progress = 0;
  std::thread m_thread;
  std::string m_url;
  std::string m_label;
  std::string m_md5;
  int32_t m_enterDfu = 0;
  mutable std::mutex m_lock;
  // Read by the worker between pieces, written by startDownload and the destructor.
  std::atomic<int32_t> m_running{0};
  EnterDfuCallback m_callback;
  DownloadActivityCallback m_activity;
  // Set once the current request's package matched its digest; chunks come only from it.
  bool m_verified = false;
  std::atomic<int64_t> m_maxBytes{kMaxPackageBytes};
  std::atomic<int> m_deadlineMs{kDownloadDeadlineMs};
  std::atomic<bool> m_verifyCertificates{false};
};

}  // namespace brisk::download
