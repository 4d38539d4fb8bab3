#include <string>
#include <vector>

#include "download/Md5.h"
#include "download/UpgradeDownloader.h"
#include "link/FirmwareServer.h"
#include "link/Frame.h"
#include "log/Log.h"

namespace brisk::link {

namespace {
// The largest chunk whose answer (type, 8-byte head, data) still fits the 16-bit length field
// together with the check byte.
constexpr uint32_t kMaxChunk = 65526;
}  // namespace

FirmwareServer::FirmwareServer(EnterDfuCallback callback, Writer write)
    : m_write(std::move(write)), m_downloader(std::make_unique<download::UpgradeDownloader>()) {
  m_downloader->SetEnterDfuCallback(std::move(callback));
}

void FirmwareServer::Handle(const uint8_t* data, size_t size) {
  if (size == 0) return;
  const int payloadSize = static_cast<int>(size - 1);
  if (data[0] == frame::kUpgradeDownload) procDownloadUpgradeFile(data + 1, payloadSize);
  if (data[0] == frame::kUpgradeData) procSendUpgradeFile(data + 1, payloadSize);
}

void FirmwareServer::procDownloadUpgradeFile(const uint8_t* payload, int size) {
  WriteLog("procDownloadUpgradeFile len:%d", size);
  const size_t length = size > 0 ? static_cast<size_t>(size) : 0;

  // Label, digest and URL in turn; a request that lacks one of them is a poll.
  std::string label, digest, url;
  int32_t enterDfu = 0;
  size_t position = 0;
  while (position < length && payload[position] != ' ') ++position;
  const bool hasLabel = position < length;
  if (hasLabel) label.assign(reinterpret_cast<const char*>(payload), position++);
  const bool hasDigest = hasLabel && position + 16 < length;
  if (hasDigest) {
    char text[33];
    download::HexEncode(text, payload + position, 16);
    digest = text;
    position += 17;  // the digest and one separator byte, whatever it is
  }
  const bool request = hasDigest && position + 1 < length;
  if (request) {
    size_t end = position;
    while (end < length && payload[end] != ' ') ++end;
    url.assign(reinterpret_cast<const char*>(payload + position), end - position);
    if (end + 1 < length && payload[end + 1] == '1') enterDfu = 1;
    m_downloader->procDownload(label, digest, url, enterDfu);
  }

  uint8_t answer[7] = {frame::kUpgradeDownload, 0, 0, 0, 0, 0, 0};
  int32_t state = download::DOWNLOAD_IDLE;
  int32_t count = 0;
  m_downloader->GetDownloadStatus(state, count);
  if (!request && state == download::DOWNLOAD_IDLE) {
    answer[1] = 1;  // nothing to report
    m_write(answer, 2);
    return;
  }
  answer[2] = static_cast<uint8_t>(state);
  frame::WriteLe32(answer + 3, static_cast<uint32_t>(count));
  m_write(answer, 7);
}

void FirmwareServer::procSendUpgradeFile(const uint8_t* payload, int size) {
  WriteLog("procSendUpgradeFile len:%d", size);
  if (size != 6) {
    const uint8_t answer[3] = {frame::kUpgradeData, 1, 1};
    m_write(answer, 3);
    return;
  }
  const uint32_t offset = frame::ReadLe32(payload);
  const uint16_t count = frame::ReadLe16(payload + 4);
  // A chunk whose answer would not fit one frame is a bad request.
  if (count > kMaxChunk) WriteLog("chunk of %u bytes is too large", static_cast<unsigned>(count));
  std::vector<uint8_t> answer(static_cast<size_t>(count) + 8, 0);
  answer[0] = frame::kUpgradeData;
  if (count <= kMaxChunk && m_downloader->GetData(offset, count, answer.data() + 8) == 1) {
    frame::WriteLe32(answer.data() + 2, offset);
    frame::WriteLe16(answer.data() + 6, count);
    m_write(answer.data(), static_cast<int>(answer.size()));
    return;
  }
  const uint8_t refused[3] = {frame::kUpgradeData, 1, count > kMaxChunk ? uint8_t{1} : uint8_t{2}};
  m_write(refused, 3);
}

}  // namespace brisk::link
