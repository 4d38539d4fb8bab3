#include "download/UpgradeDownloader.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "download/HttpGet.h"
#include "download/Md5.h"
#include "download/PackageUrl.h"
#include "log/Log.h"
#include "platform/Files.h"
#include "platform/PackageCache.h"
#include "platform/Paths.h"

namespace brisk::download {

namespace {

constexpr size_t kPieceSize = 1024;
// A server that sends nothing for this long is given up, so the state cannot stay 1 forever.
constexpr long kStallSeconds = 60;
constexpr long kConnectSeconds = 60;
constexpr const char* kAcceptHeader = "Accept: */*;";
constexpr const char* kEncodingHeader = "Accept-Encoding: gzip, deflate, br;";
constexpr const char* kAgentText =
    "Mozilla/5.0 (Windows NT 10.0; Win64; x64) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/108.0.0.0 Safari/537.36;";

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool HasControlOrBlank(const std::string& text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7f;
  });
}

}  // namespace

UpgradeDownloader::UpgradeDownloader() = default;

UpgradeDownloader::~UpgradeDownloader() {
  m_running = 0;
  if (m_thread.joinable()) m_thread.join();
}

void UpgradeDownloader::SetEnterDfuCallback(EnterDfuCallback callback) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_callback = std::move(callback);
}

void UpgradeDownloader::SetActivityCallback(DownloadActivityCallback callback) {
  std::lock_guard<std::mutex> guard(m_lock);
  m_activity = std::move(callback);
}

void UpgradeDownloader::Tell(int32_t state) {
  DownloadActivityCallback activity;
  bool forDfu;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    activity = m_activity;
    forDfu = m_enterDfu == 1;
  }
  if (activity) activity(state, forDfu);
}

void UpgradeDownloader::SetLimits(int64_t maxBytes, int deadlineMs) {
  m_maxBytes = maxBytes;
  m_deadlineMs = deadlineMs;
}

void UpgradeDownloader::SetVerifyCertificates(bool verify) { m_verifyCertificates = verify; }

// Only failures are set here: told before the reader's next poll can see them.
void UpgradeDownloader::SetState(int32_t state) {
  Tell(state);
  std::lock_guard<std::mutex> guard(m_lock);
  m_state = state;
}

void UpgradeDownloader::AddProgress(size_t count) {
  std::lock_guard<std::mutex> guard(m_lock);
  const int64_t sum = static_cast<int64_t>(m_progress) + static_cast<int64_t>(count);
  m_progress = static_cast<int32_t>(std::min<int64_t>(sum, INT32_MAX));
}

void UpgradeDownloader::procDownload(const std::string& label, const std::string& digest,
                                     const std::string& url, int32_t enterDfu) {
  int32_t state;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    state = m_state;
  }
  WriteLog("procDownload %d %s %s %s 0x%x", state, label.c_str(), digest.c_str(), url.c_str(),
           static_cast<unsigned>(enterDfu));
  if (state != DOWNLOAD_IDLE) return;
  if (url.empty()) return;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_url = url;
    m_md5 = Upper(digest);
    m_label = label;
    m_enterDfu = enterDfu;
  }
  startDownload(url);
}

void UpgradeDownloader::startDownload(const std::string& url) {
  WriteLog("startDownload: %s", url.c_str());
  Request request;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_state = DOWNLOAD_RUNNING;
    m_progress = 0;
    m_verified = false;
    request.url = m_url;
    request.md5 = m_md5;
    request.enterDfu = m_enterDfu;
  }
  request.verifyCertificates = m_verifyCertificates;
  Tell(DOWNLOAD_RUNNING);
  if (m_thread.joinable()) {
    m_running = 0;
    m_thread.join();
  }
  m_running = 1;
  try {
    m_thread = std::thread(&UpgradeDownloader::RunDownload, this, request);
  } catch (const std::system_error& e) {
    // No worker would ever move the state on from 1.
    WriteLog("startDownload: cannot start the worker: %s", e.what());
    m_running = 0;
    SetState(DOWNLOAD_FAILED);
  }
}

void UpgradeDownloader::GetDownloadStatus(int32_t& state, int32_t& progress) {
  std::lock_guard<std::mutex> guard(m_lock);
  state = m_state;
  progress = m_progress;
  if (state == DOWNLOAD_READY || state == DOWNLOAD_FAILED || state == DOWNLOAD_BAD_DIGEST)
    m_state = DOWNLOAD_IDLE;
}

std::string UpgradeDownloader::TempFilePath(const std::string& url, const std::string& md5) {
  const std::string folder = platform::TempFolder();
  if (folder.empty()) return {};
  const size_t slash = url.rfind('/');
  const std::string name = slash == std::string::npos ? std::string() : url.substr(slash + 1);
  const size_t dot = name.rfind('.');
  const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
  const std::string extension = dot == std::string::npos ? std::string() : name.substr(dot);
  const std::string file = base + "_" + md5 + extension;
  // The name after the last '/' cannot leave the folder; a digest text still could, and a
  // zero byte would cut the path short.
  if (file.find('/') != std::string::npos || HasControlOrBlank(file)) return {};
  return folder + "/" + file;
}

std::string UpgradeDownloader::MakeTempFilePath() const {
  std::lock_guard<std::mutex> guard(m_lock);
  return TempFilePath(m_url, m_md5);
}

void UpgradeDownloader::RunDownload(const Request& request) {
  try {
    if (HasControlOrBlank(request.url)) {
      WriteLog("refused address with control characters: %s", request.url.c_str());
      SetState(DOWNLOAD_FAILED);
      return;
    }
    const std::string path = TempFilePath(request.url, request.md5);
    if (path.empty()) {
      WriteLog("no usable temporary file for %s", request.url.c_str());
      SetState(DOWNLOAD_FAILED);
      return;
    }
    const platform::FileKind kind = platform::KindOfPath(path);
    if (kind == platform::FileKind::kRegular) {
      WriteLog("file %s exists", path.c_str());
      int64_t size = 0;
      const std::string md5 = GetFileMd5(path, size);
      WriteLog("md5: %s", md5.c_str());
      if (md5 == request.md5) {
        WriteLog("Check exist file OK");
        Finish(request, path, nullptr, size, true);
        return;
      }
      platform::RemoveFile(path);
    } else if (kind == platform::FileKind::kOther) {
      // A link, a FIFO or a device node is never a package.
      platform::RemoveFile(path);
    }
    Fetch(request, path);
  } catch (const std::exception& e) {
    WriteLog("download worker failed: %s", e.what());
    SetState(DOWNLOAD_FAILED);
  }
}

void UpgradeDownloader::Finish(const Request& request, const std::string& path, const char* okText,
                               int64_t size, bool setProgress) {
  if (okText) WriteLog("%s", okText);
  EnterDfuCallback callback;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    m_state = DOWNLOAD_READY;
    if (setProgress) m_progress = static_cast<int32_t>(std::min<int64_t>(size, INT32_MAX));
    m_verified = true;
    callback = m_callback;
  }
  if (request.enterDfu == 1 && callback) {
    CopyToCache(path);
    WriteLog("Call enter dfu callback");
    callback(path);
  }
}

void UpgradeDownloader::Fetch(const Request& request, const std::string& path) {
  // Not through a link, and not into a FIFO planted at that name meanwhile (whose open would
  // block): only a regular file is written.
  FILE* file = platform::CreateRegularForWrite(path);
  if (!file) {
    WriteLog("create temporary file %s failed", path.c_str());
    SetState(DOWNLOAD_FAILED);
    return;
  }

  const std::string& url = request.url;
  PackageUrl parsed;
  if (!ParsePackageUrl(url, parsed)) {
    std::fclose(file);
    FailAndRemove(path);
    return;
  }

  const HttpGetFunction get = LoadHttpGet();
  if (!get) {
    std::fclose(file);
    FailAndRemove(path);
    return;
  }
  WriteLog("open connection %s", url.c_str());

  HttpGetRequest http;
  http.url = parsed.ClientUrl();
  http.secure = parsed.secure;
  http.verify = request.verifyCertificates;
  http.maxBytes = m_maxBytes;
  http.deadlineMs = m_deadlineMs;
  http.connectSeconds = kConnectSeconds;
  http.stallSeconds = kStallSeconds;
  // The third header line has no name: it is the browser identification.
  http.headers = {kAcceptHeader, kEncodingHeader};
  http.userAgent = kAgentText;
  http.onResponse = [](long code, int64_t length) {
    WriteLog("Code: %d", static_cast<int>(code));
    WriteLog("size: %ld", static_cast<long>(length));
  };
  http.keepGoing = [this] { return m_running.load() == 1; };
  int64_t received = 0;
  bool tooLarge = false, writeFailed = false;
  http.onBody = [&](const char* data, size_t total) {
    // A body that runs past the bound is cut off here.
    if (received + static_cast<int64_t>(total) > http.maxBytes) {
      tooLarge = true;
      return false;
    }
    received += static_cast<int64_t>(total);
    // The client hands over larger blocks; the body is still taken in pieces of at most
    // 1024 bytes so that the progress grows piece by piece.
    for (size_t done = 0; done < total;) {
      const size_t piece = std::min(kPieceSize, total - done);
      WriteLog("read size: %d", static_cast<int>(piece));
      if (std::fwrite(data + done, 1, piece, file) != piece) {
        writeFailed = true;
        return false;
      }
      AddProgress(piece);
      done += piece;
    }
    return true;
  };

  using Outcome = HttpGetResult::Outcome;
  HttpGetResult result;
  get(http, result);
  const bool stopped = m_running.load() != 1;
  if (result.outcome == Outcome::Ok) {
    WriteLog("read size: %d", 0);
    WriteLog("read finished");
  }
  const bool closeFailed = std::fclose(file) != 0;

  if (stopped) {
    // Stopped from outside: nothing is checked and the state is left as it is.
    WriteLog("download stopped: %s", url.c_str());
    platform::RemoveFile(path);
    return;
  }
  if (tooLarge || result.outcome == Outcome::TooLarge) {
    WriteLog("package is larger than %lld bytes, refused", static_cast<long long>(http.maxBytes));
    FailAndRemove(path);
    return;
  }
  if (writeFailed || (result.outcome == Outcome::Ok && closeFailed)) {
    WriteLog("write temporary file failed, %s", path.c_str());
    FailAndRemove(path);
    return;
  }
  if (result.outcome == Outcome::HttpError) {
    WriteLog("download failed: HTTP status %ld, %s", result.status, url.c_str());
    FailAndRemove(path);
    return;
  }
  if (result.outcome != Outcome::Ok) {
    WriteLog("internet exception: %s", result.error.c_str());
    FailAndRemove(path);
    return;
  }

  int64_t size = 0;
  const std::string md5 = GetFileMd5(path, size);
  WriteLog("MD5: %s", md5.c_str());
  if (md5 == request.md5) {
    Finish(request, path, "Check download file OK", 0, false);
  } else {
    // A package that is not the one asked for is of no use, and is never served.
    WriteLog("digest mismatch: expected %s, received %s; removed %s", request.md5.c_str(),
             md5.c_str(), path.c_str());
    platform::RemoveFile(path);
    SetState(DOWNLOAD_BAD_DIGEST);
  }
}

void UpgradeDownloader::FailAndRemove(const std::string& path) {
  // A partial package is of no use to anyone and must not pile up in the folder.
  platform::RemoveFile(path);
  SetState(DOWNLOAD_FAILED);
}

void UpgradeDownloader::CopyToCache(const std::string& packagePath) {
  if (packagePath.find('/') == std::string::npos) return;
  const platform::PackageCache cache = platform::PackageCache::Dfu();
  std::string copy;
  const bool ok = cache.Add(packagePath, &copy);
  WriteLog(ok ? "Copy DFU file to cache success, %s" : "Copy DFU file to cache failed, %s",
           copy.c_str());
  if (!ok) return;
  for (const std::string& removed : cache.Prune(kDfuCacheKeep))
    WriteLog("removed old DFU package %s", removed.c_str());
}

int UpgradeDownloader::GetData(uint32_t offset, uint32_t length, uint8_t* destination) {
  WriteLog("GetData %d %d", static_cast<int>(offset), static_cast<int>(length));
  std::string path;
  bool verified;
  {
    std::lock_guard<std::mutex> guard(m_lock);
    verified = m_verified;
    path = TempFilePath(m_url, m_md5);
  }
  // A package being written or one that failed its digest is not handed out.
  if (!verified) {
    WriteLog("GetData: no verified package");
    return 0;
  }
  if (path.empty()) return 0;
  // Read on the relay thread: a FIFO or a link planted at the package's name must neither
  // block it nor lead elsewhere. A range past the end is refused even when it asks for nothing.
  return platform::ReadRegularRange(path, offset, destination, length) ? 1 : 0;
}

}  // namespace brisk::download
