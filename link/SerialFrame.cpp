#include <cstring>
#include <vector>

#include "link/Frame.h"
#include "link/Relay.h"
#include "log/Log.h"
#include "platform/Clock.h"

namespace brisk::link {

int Relay::WriteCom(const uint8_t* data, int size) {
  if (size < 0 || size > 0xFFFE) return -1;
  // Every relayed block fits on the stack; only a larger command frame needs the heap.
  uint8_t small[frame::kReceiveBufferSize + 8];
  std::vector<uint8_t> large;
  uint8_t* buffer = small;
  if (static_cast<size_t>(size) + 5 > sizeof small) {
    large.resize(static_cast<size_t>(size) + 5);
    buffer = large.data();
  }
  const size_t length = frame::Encode(data, static_cast<size_t>(size), buffer);
  WriteLogHex("write com: ", buffer, static_cast<int>(length));

  std::unique_lock<std::mutex> lock(m_comLock);
  const int written = m_port ? m_port->Write(buffer, length) : -1;
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

bool Relay::ReadCom(bool failed) {
  // One read takes whatever the port holds: several frames, or part of one. Frames are cut
  // before the next read, so the buffer always has room for more than a whole frame.
  uint8_t* space = m_comFrames.Space();
  const int n = m_port->ReadAvailable(space, m_comFrames.SpaceSize());
  // Only a port that is really gone (hang-up, EIO, end of file) ends the relay.
  if (n < 0 || (n == 0 && failed)) {
    WriteLog("read head failed");
    m_comFrames.Clear();
    EndRelay();
    return false;
  }
  m_comFrames.Added(static_cast<size_t>(n), platform::NowMs());
  return true;
}

void Relay::CutComFrames() {
  using Kind = SerialFrameReader::Kind;
  for (;;) {
    const SerialFrameReader::Result r = m_comFrames.Next(platform::NowMs());
    m_comBytesRead += m_comFrames.TakeCounted();
    switch (r.kind) {
      case Kind::NeedMore:
        return;
      case Kind::Frame:
        HandleComFrame(r.frame, r.size);
        if (!m_relayRunning) return;
        break;
      case Kind::HeadTimedOut:
        // A stray byte or two followed by silence: thrown away, the relay goes on.
        WriteLog("read head failed");
        break;
      case Kind::Realigned:
        WriteLog("head is not valid");
        break;
      case Kind::BadHead:
        WriteLog("head is not valid");
        m_port->PurgeInput();
        break;
      case Kind::TooLong:
        // Would not fit the receive buffer: handled like a bad head.
        WriteLog("frame length %u is too long, head is not valid", r.length);
        m_port->PurgeInput();
        break;
      case Kind::BodyTimedOut:
        WriteLog("read body failed");
        break;
    }
  }
}

void Relay::HandleComFrame(const uint8_t* buf, size_t frameSize) {
  const uint16_t length = static_cast<uint16_t>(frameSize - frame::kHeadSize);
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
    case frame::kUpgradeData:
      if (m_transfers) m_transfers(buf + 4, length - 1u);
      break;
    case frame::kConnect:
      if (payloadSize >= 2 && payload[0] == 0 && payload[1] == 0) ConnectOnRequest();
      break;
    default:
      if (m_answers) m_answers(buf + 4, length - 1u);
      break;
  }
}

}  // namespace brisk::link
