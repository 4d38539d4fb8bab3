#pragma once
// The reader's side of a firmware upgrade, played over a ReaderSim: it asks the PC to
// download a package (type 13), polls the download, pulls the package in chunks of its
// choosing (type 14), reassembles it and checks it against the digest it asked for.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/reader/ReaderSim.h"

namespace brisk::sim {

using Digest16 = std::array<uint8_t, 16>;

// The PC's answer to a type-13 frame.
struct UpgradeState {
  bool report = false;  // 0D 00 state count; false for 0D 01 (nothing to report)
  uint8_t state = 0;
  uint32_t count = 0;
};

// The PC's answer to a type-14 frame.
struct UpgradeChunk {
  bool ok = false;    // 0E 00 offset count data
  uint8_t error = 0;  // the code of 0E 01 <code>
  uint32_t offset = 0;
  uint16_t count = 0;
  std::vector<uint8_t> data;
};

class ReaderUpgrade {
 public:
  // timeoutMs bounds the wait for each answer.
  explicit ReaderUpgrade(ReaderSim& reader, int timeoutMs = 10000);

  // label, a blank, the 16 raw digest bytes, the separator, the URL, and " 1" with dfu.
  static std::vector<uint8_t> RequestPayload(const std::string& label, const Digest16& digest,
                                             const std::string& url, bool dfu,
                                             uint8_t separator = ' ');
  // The reader's own MD5 of a package.
  static Digest16 Md5(const uint8_t* data, size_t size);
  static Digest16 Md5(const std::string& data) {
    return Md5(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }

  // Sends one type-13 frame and waits for its answer; nullopt when none or a malformed one came.
  std::optional<UpgradeState> Exchange13(const std::vector<uint8_t>& payload);
  std::optional<UpgradeState> Request(const std::string& label, const Digest16& digest,
                                      const std::string& url, bool dfu) {
    return Exchange13(RequestPayload(label, digest, url, dfu));
  }
  std::optional<UpgradeState> Poll() { return Exchange13({}); }
  // Polls every pollMs until an answer other than state 1 comes, for at most limitMs; the
  // counts of the state-1 answers go to progress.
  std::optional<UpgradeState> WaitForEnd(int pollMs, int limitMs,
                                         std::vector<uint32_t>* progress = nullptr);

  // Sends one type-14 frame and waits for its answer.
  std::optional<UpgradeChunk> Exchange14(const std::vector<uint8_t>& payload);
  std::optional<UpgradeChunk> Pull(uint32_t offset, uint16_t count);
  // Pulls size bytes from offset 0 in chunks of chunkSize (the last one shorter); nullopt
  // when a chunk is refused, missing, or does not match what was asked.
  std::optional<std::vector<uint8_t>> PullAll(uint32_t size, uint16_t chunkSize);
  // PullAll, then the digest check; the package when it matches.
  std::optional<std::vector<uint8_t>> PullVerified(uint32_t size, uint16_t chunkSize,
                                                   const Digest16& digest);

 private:
  ReaderSim& m_reader;
  int m_timeoutMs;
};

}  // namespace brisk::sim
