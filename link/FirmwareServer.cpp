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

  bool hasLabel = false, hasDigest = false, hasUrl = false;
  std::string label, digest, url;
  int32_t enterDfu = 0;
  size_t position = 0;
  for (size_t p = 0; p < length; ++p) {
    if (payload[p] == ' ') {
      label.assign(reinterpret_cast<const char*>(payload), p);
      position = p + 1;
      hasLabel = true;
      break;
    }
  }
  if (hasLabel && position + 16 < length) {
    char text[33];
    download::HexEncode(text, payload + position, 16);
    digest = text;
    position += 17;  // the digest and one separator byte, whatever it is
    hasDigest = true;
  }
  if (hasDigest && position + 1 < length) {
    size_t end = position;
    while (end < length && payload[end] != ' ') ++end;
    url.assign(reinterpret_cast<const char*>(payload + position), end - position);
    if (end + 1 < length && payload[end + 1] == '1') enterDfu = 1;
    hasUrl = true;
  }

  uint8_t answer[7] = {frame::kUpgradeDownload, 0, 0, 0, 0, 0, 0};
  int32_t state = download::DOWNLOAD_IDLE;
  int32_t count = 0;
  if (hasLabel && hasDigest && hasUrl) {
    m_downloader->procDownload(label, digest, url, enterDfu);
    m_downloader->GetDownloadStatus(state, count);
    answer[2] = static_cast<uint8_t>(state);
    frame::WriteLe32(answer + 3, static_cast<uint32_t>(count));
    m_write(answer, 7);
    return;
  }
  m_downloader->GetDownloadStatus(state, count);
  if (state != download::DOWNLOAD_IDLE) {
    answer[2] = static_cast<uint8_t>(state);
    frame::WriteLe32(answer + 3, static_cast<uint32_t>(count));
    m_write(answer, 7);
  } else {
    answer[1] = 1;
    m_write(answer, 2);
  }
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
  if (count > kMaxChunk) {
    // Its answer would not fit one frame.
    WriteLog("chunk of %u bytes is too large", static_cast<unsigned>(count));
    const uint8_t answer[3] = {frame::kUpgradeData, 1, 1};
    m_write(answer, 3);
    return;
  }
  std::vector<uint8_t> answer(static_cast<size_t>(count) + 8, 0);
  answer[0] = frame::kUpgradeData;
  answer[1] = 0;
  if (m_downloader->GetData(offset, count, answer.data() + 8) == 1) {
    frame::WriteLe32(answer.data() + 2, offset);
    frame::WriteLe16(answer.data() + 6, count);
    m_write(answer.data(), static_cast<int>(answer.size()));
    return;
  }
  const uint8_t refused[3] = {frame::kUpgradeData, 1, 2};
  m_write(refused, 3);
}

}  // namespace brisk::link
