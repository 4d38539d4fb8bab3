#include "sim/reader/ReaderUpgrade.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

namespace brisk::sim {

namespace {

// The reader's MD5, kept apart from the product's so that each checks the other.
class Md5State {
 public:
  Md5State() {
    for (int i = 0; i < 64; ++i)
      m_k[i] = static_cast<uint32_t>(std::floor(std::fabs(std::sin(i + 1.0)) * 4294967296.0));
  }
  void Add(const uint8_t* data, size_t size) {
    m_total += size;
    while (size > 0) {
      const size_t n = std::min(size, 64 - m_used);
      std::memcpy(m_block + m_used, data, n);
      m_used += n;
      data += n;
      size -= n;
      if (m_used == 64) {
        Block();
        m_used = 0;
      }
    }
  }
  Digest16 End() {
    const uint64_t bits = m_total * 8;
    const uint8_t one = 0x80, zero = 0;
    Add(&one, 1);
    while (m_used != 56) Add(&zero, 1);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (8 * i));
    Add(length, 8);
    Digest16 out{};
    for (int i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(m_h[i / 4] >> (8 * (i % 4)));
    return out;
  }

 private:
  void Block() {
    static const int kShift[4][4] = {
        {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};
    uint32_t m[16];
    for (int i = 0; i < 16; ++i)
      m[i] = m_block[4 * i] | (m_block[4 * i + 1] << 8) | (m_block[4 * i + 2] << 16) |
             (static_cast<uint32_t>(m_block[4 * i + 3]) << 24);
    uint32_t a = m_h[0], b = m_h[1], c = m_h[2], d = m_h[3];
    for (int i = 0; i < 64; ++i) {
      uint32_t f;
      int g;
      const int round = i / 16;
      if (round == 0) {
        f = (b & c) | (~b & d);
        g = i;
      } else if (round == 1) {
        f = (d & b) | (~d & c);
        g = (5 * i + 1) % 16;
      } else if (round == 2) {
        f = b ^ c ^ d;
        g = (3 * i + 5) % 16;
      } else {
        f = c ^ (b | ~d);
        g = (7 * i) % 16;
      }
      const uint32_t sum = a + f + m_k[i] + m[g];
      const int s = kShift[round][i % 4];
      a = d;
      d = c;
      c = b;
      b = b + ((sum << s) | (sum >> (32 - s)));
    }
    m_h[0] += a;
    m_h[1] += b;
    m_h[2] += c;
    m_h[3] += d;
  }

  uint32_t m_k[64];
  uint32_t m_h[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  uint8_t m_block[64] = {};
  size_t m_used = 0;
  uint64_t m_total = 0;
};

uint32_t Le32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

ReaderUpgrade::ReaderUpgrade(ReaderSim& reader, int timeoutMs)
    : m_reader(reader), m_timeoutMs(timeoutMs) {}

Digest16 ReaderUpgrade::Md5(const uint8_t* data, size_t size) {
  Md5State state;
  state.Add(data, size);
  return state.End();
}

std::vector<uint8_t> ReaderUpgrade::RequestPayload(const std::string& label, const Digest16& digest,
                                                   const std::string& url, bool dfu,
                                                   uint8_t separator) {
  std::vector<uint8_t> out(label.begin(), label.end());
  out.push_back(' ');
  out.insert(out.end(), digest.begin(), digest.end());
  out.push_back(separator);
  out.insert(out.end(), url.begin(), url.end());
  if (dfu) {
    out.push_back(' ');
    out.push_back('1');
  }
  return out;
}

std::optional<UpgradeState> ReaderUpgrade::Exchange13(const std::vector<uint8_t>& payload) {
  if (!m_reader.SendFrame(13, payload)) return std::nullopt;
  const auto answer = m_reader.WaitFrame(13, m_timeoutMs);
  if (!answer) return std::nullopt;
  const auto& p = answer->payload;
  UpgradeState state;
  if (p.size() == 1 && p[0] == 1) return state;
  if (p.size() != 6 || p[0] != 0) return std::nullopt;
  state.report = true;
  state.state = p[1];
  state.count = Le32(p.data() + 2);
  return state;
}

std::optional<UpgradeState> ReaderUpgrade::WaitForEnd(int pollMs, int limitMs,
                                                      std::vector<uint32_t>* progress) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (std::chrono::steady_clock::now() < deadline) {
    const auto state = Poll();
    if (!state) return std::nullopt;
    if (!state->report || state->state != 1) return state;
    if (progress) progress->push_back(state->count);
    std::this_thread::sleep_for(std::chrono::milliseconds(pollMs));
  }
  return std::nullopt;
}

std::optional<UpgradeChunk> ReaderUpgrade::Exchange14(const std::vector<uint8_t>& payload) {
  if (!m_reader.SendFrame(14, payload)) return std::nullopt;
  const auto answer = m_reader.WaitFrame(14, m_timeoutMs);
  if (!answer) return std::nullopt;
  const auto& p = answer->payload;
  UpgradeChunk chunk;
  if (p.size() == 2 && p[0] == 1) {
    chunk.error = p[1];
    return chunk;
  }
  if (p.size() < 7 || p[0] != 0) return std::nullopt;
  chunk.ok = true;
  chunk.offset = Le32(p.data() + 1);
  chunk.count = static_cast<uint16_t>(p[5] | (p[6] << 8));
  if (p.size() != 7u + chunk.count) return std::nullopt;
  chunk.data.assign(p.begin() + 7, p.end());
  return chunk;
}

std::optional<UpgradeChunk> ReaderUpgrade::Pull(uint32_t offset, uint16_t count) {
  std::vector<uint8_t> payload(6);
  for (int i = 0; i < 4; ++i) payload[i] = static_cast<uint8_t>(offset >> (8 * i));
  payload[4] = static_cast<uint8_t>(count);
  payload[5] = static_cast<uint8_t>(count >> 8);
  return Exchange14(payload);
}

std::optional<std::vector<uint8_t>> ReaderUpgrade::PullAll(uint32_t size, uint16_t chunkSize) {
  if (chunkSize == 0) return std::nullopt;
  std::vector<uint8_t> package;
  package.reserve(size);
  while (package.size() < size) {
    const uint32_t offset = static_cast<uint32_t>(package.size());
    const uint16_t count = static_cast<uint16_t>(std::min<uint32_t>(chunkSize, size - offset));
    const auto chunk = Pull(offset, count);
    if (!chunk || !chunk->ok || chunk->offset != offset || chunk->count != count)
      return std::nullopt;
    package.insert(package.end(), chunk->data.begin(), chunk->data.end());
  }
  return package;
}

std::optional<std::vector<uint8_t>> ReaderUpgrade::PullVerified(uint32_t size, uint16_t chunkSize,
                                                                const Digest16& digest) {
  auto package = PullAll(size, chunkSize);
  if (!package || Md5(package->data(), package->size()) != digest) return std::nullopt;
  return package;
}

}  // namespace brisk::sim
