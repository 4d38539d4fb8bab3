#include "link/SerialFrameReader.h"

#include <cstring>

namespace brisk::link {

uint8_t* SerialFrameReader::Space() {
  if (m_begin > 0) {
    std::memmove(m_buffer, m_buffer + m_begin, m_end - m_begin);
    m_end -= m_begin;
    m_begin = 0;
  }
  return m_buffer + m_end;
}

void SerialFrameReader::Added(size_t count, int64_t nowMs) {
  if (count == 0) return;
  // The head's wait starts with its first byte.
  if (!m_inBody && m_begin == m_end) m_headSinceMs = nowMs;
  m_end += count;
  m_lastByteMs = nowMs;
}

void SerialFrameReader::Clear() {
  m_begin = m_end = 0;
  m_inBody = false;
  m_realigned = false;
}

uint32_t SerialFrameReader::TakeCounted() {
  const uint32_t n = m_counted;
  m_counted = 0;
  return n;
}

int64_t SerialFrameReader::Deadline() const {
  if (m_inBody) return m_lastByteMs + kBodySilenceMs;
  if (m_end > m_begin) return m_headSinceMs + kHeadWaitMs;
  return -1;
}

SerialFrameReader::Result SerialFrameReader::DropAll(Kind kind, uint16_t length) {
  Clear();
  Result r;
  r.kind = kind;
  r.length = length;
  return r;
}

SerialFrameReader::Result SerialFrameReader::Next(int64_t nowMs) {
  for (;;) {
    const uint8_t* p = m_buffer + m_begin;
    const size_t waiting = m_end - m_begin;
    if (m_inBody) {
      const size_t size = frame::kHeadSize + m_length;
      if (waiting >= size) {
        m_begin += size;
        m_counted += m_length;
        m_inBody = false;
        m_headSinceMs = nowMs;
        return {Kind::Frame, p, size, m_length};
      }
      if (nowMs < m_lastByteMs + kBodySilenceMs) return {};
      m_counted += static_cast<uint32_t>(waiting - frame::kHeadSize);
      return DropAll(Kind::BodyTimedOut);
    }
    if (waiting == 0) return {};
    if (waiting < frame::kHeadSize) {
      if (nowMs < m_headSinceMs + kHeadWaitMs) return {};
      return DropAll(Kind::HeadTimedOut);
    }
    if (p[0] != frame::kHead1 || p[1] != frame::kHead2) {
      // Once moved, the head must start right: a second miss throws everything away.
      if (m_realigned) return DropAll(Kind::BadHead);
      // A stray byte just before a frame: when a head starts within the first four bytes, the
      // frame is kept; otherwise everything waiting is thrown away.
      size_t start = 1;
      while (start < frame::kHeadSize &&
             !(p[start] == frame::kHead1 &&
               (start + 1 == frame::kHeadSize || p[start + 1] == frame::kHead2)))
        ++start;
      if (start == frame::kHeadSize) return DropAll(Kind::BadHead);
      m_begin += start;
      m_realigned = true;
      m_headSinceMs = nowMs;
      return {Kind::Realigned};
    }
    m_realigned = false;
    const uint16_t length = frame::ReadLe16(p + 2);
    m_counted += frame::kHeadSize;
    if (length > frame::kMaxLength) return DropAll(Kind::TooLong, length);
    if (length == 0) {
      m_begin += frame::kHeadSize;
      m_headSinceMs = nowMs;
      continue;
    }
    m_inBody = true;
    m_length = length;
    // The silence inside a frame is counted from the head.
    m_lastByteMs = nowMs;
  }
}

}  // namespace brisk::link
