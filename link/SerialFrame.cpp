#include <cstring>
#include <vector>

#include "link/Brisk7Service.h"
#include "link/Frame.h"
#include "log/Log.h"
#include "platform/Clock.h"
#include "platform/SerialPort.h"

namespace brisk::link {

namespace {
// A reader that falls silent inside a frame ends that frame after this long.
constexpr int kBodySilenceMs = 3000;
}  // namespace

int Brisk7Service::WriteCom(const uint8_t* data, int size) {
  if (size < 0 || size > 0xFFFE) return -1;
  std::vector<uint8_t> buffer(static_cast<size_t>(size) + 5);
  const size_t length = frame::Encode(data, static_cast<size_t>(size), buffer.data());
  WriteLogHex("write com: ", buffer.data(), static_cast<int>(length));

  std::unique_lock<std::mutex> lock(m_comLock);
  const int written = m_comHandle ? m_comHandle->Write(buffer.data(), length) : -1;
  if (written == static_cast<int>(length)) {
    WriteLog("com write success");
    lock.unlock();
    m_comBytesWritten += static_cast<uint32_t>(length);
    return written - 5;
  }
  WriteLog("com write failed");
  EndRelay();
  return -1;
}

void Brisk7Service::ReadComFrame() {
  std::vector<uint8_t> buffer(frame::kReceiveBufferSize, 0);
  uint8_t* buf = buffer.data();

  // Only a port that is really gone (hang-up, EIO, end of file) ends the relay; a short head
  // is a stray byte or two followed by silence, and is thrown away.
  const int head = m_comHandle->Read(buf, frame::kHeadSize);
  if (head < static_cast<int>(frame::kHeadSize)) {
    WriteLog("read head failed");
    if (head < 0) EndRelay();
    return;
  }
  if (buf[0] != frame::kHead1 || buf[1] != frame::kHead2) {
    WriteLog("head is not valid");
    // A stray byte just before a frame: when a head starts within the bytes read, the frame
    // is kept; otherwise everything waiting is thrown away.
    size_t start = 1;
    while (start < frame::kHeadSize &&
           !(buf[start] == frame::kHead1 &&
             (start + 1 == frame::kHeadSize || buf[start + 1] == frame::kHead2)))
      ++start;
    if (start == frame::kHeadSize) {
      m_comHandle->PurgeInput();
      return;
    }
    std::memmove(buf, buf + start, frame::kHeadSize - start);
    const int more = m_comHandle->Read(buf + frame::kHeadSize - start, start);
    if (more < static_cast<int>(start)) {
      WriteLog("read head failed");
      if (more < 0) EndRelay();
      return;
    }
    if (buf[1] != frame::kHead2) {
      m_comHandle->PurgeInput();
      return;
    }
  }
  const uint16_t length = frame::ReadLe16(buf + 2);
  m_comBytesRead += 4;
  if (length == 0) return;
  if (length > frame::kMaxLength) {
    // Would not fit the receive buffer: handled like a bad head.
    WriteLog("frame length %u is too long, head is not valid", length);
    m_comHandle->PurgeInput();
    return;
  }

  size_t position = frame::kHeadSize;
  size_t remaining = length;
  int64_t lastByte = platform::NowMs();
  while (remaining > 0) {
    const int64_t silent = platform::NowMs() - lastByte;
    const int got = (silent >= kBodySilenceMs || !m_relayRunning)
                        ? -1
                        : m_comHandle->Read(buf + position, remaining,
                                            static_cast<int>(kBodySilenceMs - silent));
    if (got < 0) {
      WriteLog("read body failed");
      return;
    }
    if (got == 0) continue;
    position += static_cast<size_t>(got);
    remaining -= static_cast<size_t>(got);
    m_comBytesRead += static_cast<uint32_t>(got);
    lastByte = platform::NowMs();
  }

  const size_t frameSize = frame::kHeadSize + length;
  WriteLogHex("read com:", buf, static_cast<int>(frameSize));
  if (frame::Checksum(buf, frameSize) != 0) {
    WriteLog("check sum error");
    return;
  }

  const uint8_t type = buf[4];
  const uint8_t* payload = buf + 5;
  const int payloadSize = length >= 2 ? length - 2 : 0;
  switch (type) {
    case frame::kPlatformData:
      if (SendServer(payload, payloadSize) < 0) NotifyLinkLost();
      break;
    case frame::kUpgradeDownload:
      procDownloadUpgradeFile(payload, payloadSize);
      break;
    case frame::kUpgradeData:
      procSendUpgradeFile(payload, payloadSize);
      break;
    case frame::kConnect:
      if (payloadSize >= 2 && payload[0] == 0 && payload[1] == 0) ConnectOnRequest();
      break;
    default: {
      std::lock_guard<std::mutex> guard(m_comLock);
      std::memcpy(m_answerStaging.data(), buf + 4, length - 1u);
      m_answerLength = length - 1u;
    }
      m_answerEvent.Set();
      break;
  }
}

}  // namespace brisk::link
