// Figures for the package path: our MD5 against libcrypto's on one 256 MiB buffer, a 64 MiB
// download from the loopback server against `curl -o` of the same file, and the rate at which
// the service hands out 2048-byte chunks to a reader on a pty.
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "download/Md5.h"
#include "download/UpgradeDownloader.h"
#include "link/Brisk7Service.h"
#include "platform/Paths.h"
#include "sim/http/HttpServer.h"
#include "sim/reader/ReaderSim.h"
#include "sim/reader/ReaderUpgrade.h"

using namespace brisk;
using namespace brisk::download;
using namespace brisk::link;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from) {
  return std::chrono::duration<double>(Clock::now() - from).count();
}

std::string Pattern(size_t size) {
  std::string bytes(size, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i + 8 <= size; i += 8) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    std::memcpy(&bytes[i], &x, 8);
  }
  return bytes;
}

std::string Md5Text(const std::string& data) {
  Md5Context c;
  Md5Init(&c);
  Md5Update(&c, data.data(), static_cast<uint32_t>(data.size()));
  Md5Final(&c);
  char text[33];
  HexEncode(text, c.digest, 16);
  return text;
}

constexpr int kRounds = 3;

void BenchMd5() {
  const std::string buffer = Pattern(256u << 20);
  double ours = 1e9, theirs = 1e9;
  std::string a, b;
  for (int round = 0; round < kRounds; ++round) {
    auto start = Clock::now();
    Md5Context c;
    Md5Init(&c);
    Md5Update(&c, buffer.data(), static_cast<uint32_t>(buffer.size()));
    Md5Final(&c);
    ours = std::min(ours, Seconds(start));
    char text[33];
    HexEncode(text, c.digest, 16);
    a = text;

    start = Clock::now();
    unsigned char digest[16];
    unsigned int length = 0;
    EVP_Digest(buffer.data(), buffer.size(), digest, &length, EVP_md5(), nullptr);
    theirs = std::min(theirs, Seconds(start));
    HexEncode(text, digest, 16);
    b = text;
  }
  const double mib = 256.0;
  std::printf("md5 256 MiB: ours %.0f MiB/s, libcrypto %.0f MiB/s, ratio %.2f%s\n", mib / ours,
              mib / theirs, theirs / ours, a == b ? "" : "  (DIGESTS DIFFER)");
}

void BenchDownload(const std::string& scratch) {
  auto server = sim::HttpServer::Start(false, 600000);
  if (!server) {
    std::printf("download: no server\n");
    return;
  }
  const std::string package = Pattern(64u << 20);
  const std::string digest = Md5Text(package);
  server->Serve("/bench/package.bin", package);
  const std::string url = server->BaseUrl() + "/bench/package.bin";
  const std::string curlOut = scratch + "/curl-package.bin";

  double ours = 1e9, oursChecked = 1e9, curl = 1e9;
  bool allOk = true;
  for (int round = 0; round < kRounds; ++round) {
    UpgradeDownloader downloader;
    auto start = Clock::now();
    downloader.procDownload("bench", digest, url, 0);
    const std::string path = downloader.MakeTempFilePath();
    int32_t state = 1, progress = 0;
    double received = 0;
    while (state == 1) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      downloader.GetDownloadStatus(state, progress);
      // The last piece is in the file; what follows is the digest check.
      if (received == 0 && progress == static_cast<int32_t>(package.size()))
        received = Seconds(start);
    }
    oursChecked = std::min(oursChecked, Seconds(start));
    ours = std::min(ours, received > 0 ? received : Seconds(start));
    allOk = allOk && state == 0 && progress == static_cast<int32_t>(package.size());
    unlink(path.c_str());

    const std::string command = "curl -s --noproxy '*' -o '" + curlOut + "' '" + url + "'";
    start = Clock::now();
    const int rc = std::system(command.c_str());
    curl = std::min(curl, Seconds(start));
    struct stat st {};
    allOk = allOk && rc == 0 && stat(curlOut.c_str(), &st) == 0 &&
            st.st_size == static_cast<off_t>(package.size());
    unlink(curlOut.c_str());
  }
  std::printf(
      "download 64 MiB over loopback HTTP: ours %.0f MiB/s, curl -o %.0f MiB/s, ratio %.2f%s\n",
      64.0 / ours, 64.0 / curl, curl / ours, allOk ? "" : "  (A RUN FAILED)");
  std::printf("download 64 MiB and its digest check: ours %.0f MiB/s, ratio to curl -o %.2f\n",
              64.0 / oursChecked, curl / oursChecked);
}

void BenchChunks() {
  auto server = sim::HttpServer::Start(false, 600000);
  auto reader = sim::ReaderSim::Create();
  if (!server || !reader) {
    std::printf("chunks: no server or pty\n");
    return;
  }
  const size_t size = 8u << 20;
  const std::string package = Pattern(size);
  server->Serve("/chunks.bin", package);
  Brisk7Service service;
  if (service.StartDevice(reader->SlavePath()) != 1) {
    std::printf("chunks: the service did not open the pty\n");
    return;
  }
  sim::ReaderUpgrade upgrade(*reader, 20000);
  const auto digest = sim::ReaderUpgrade::Md5(package);
  upgrade.Request("bench", digest, server->BaseUrl() + "/chunks.bin", false);
  const auto end = upgrade.WaitForEnd(1, 120000);
  if (!end || end->state != 0) {
    std::printf("chunks: the download did not end well\n");
    service.Stop(0);
    return;
  }
  const auto start = Clock::now();
  const auto pulled = upgrade.PullVerified(static_cast<uint32_t>(size), 2048, digest);
  const double t = Seconds(start);
  service.Stop(0);
  const double chunks = static_cast<double>(size / 2048);
  std::printf(
      "chunks through the link (2048 bytes, request and answer over a pty): %.0f chunks/s, "
      "%.1f MiB/s%s\n",
      chunks / t, size / t / 1048576.0, pulled ? "" : "  (PACKAGE DIFFERS)");
}

}  // namespace

int main() {
  for (const char* name :
       {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "ALL_PROXY", "all_proxy"})
    unsetenv(name);
  std::string scratch = std::filesystem::temp_directory_path().string() + "/brisk-bench-XXXXXX";
  if (!mkdtemp(scratch.data())) return 1;
  setenv("TMPDIR", scratch.c_str(), 1);
  setenv("XDG_CONFIG_HOME", (scratch + "/config").c_str(), 1);

  BenchMd5();
  BenchDownload(scratch);
  BenchChunks();

  std::error_code ignored;
  std::filesystem::remove_all(scratch, ignored);
  return 0;
}
