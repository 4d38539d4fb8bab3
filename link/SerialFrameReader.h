#pragma once
// Cuts the reader's byte stream into frames. The relay reads whatever the port holds in one
// call into Space(), hands it over with Added(), and takes frames and verdicts from Next().
// No input/output and no clock of its own: the caller passes the time, so the rules for
// stray bytes and silent readers can be checked without a port.
#include <cstddef>
#include <cstdint>

#include "link/Frame.h"

namespace brisk::link {

// A head that has not arrived whole this long after its first byte is thrown away.
inline constexpr int kHeadWaitMs = 1000;
// A reader that falls silent inside a frame ends that frame after this long.
inline constexpr int kBodySilenceMs = 3000;

class SerialFrameReader {
 public:
  enum class Kind {
    NeedMore,      // nothing more can be cut until bytes arrive or Deadline() passes
    Frame,         // frame/size: a whole frame, head and check byte included
    HeadTimedOut,  // a partial head was followed by silence; its bytes are gone
    Realigned,     // a stray byte or two before a head were dropped
    BadHead,       // no head where one belongs: everything buffered is gone (purge the port too)
    TooLong,       // length names more than a frame can hold: as BadHead
    BodyTimedOut,  // the reader fell silent inside a frame; that frame is gone
  };
  struct Result {
    Kind kind = Kind::NeedMore;
    const uint8_t* frame = nullptr;  // valid until the next Space()
    size_t size = 0;
    uint16_t length = 0;  // the length field, for Frame and TooLong
  };

  // Where the next read goes (what is still buffered moves to the front), and how much fits.
  uint8_t* Space();
  size_t SpaceSize() const { return sizeof m_buffer - (m_end - m_begin); }
  void Added(size_t count, int64_t nowMs);
  Result Next(int64_t nowMs);
  // When Next() has a verdict even without new bytes; -1 when nothing is waiting for time.
  int64_t Deadline() const;
  void Clear();
  // Bytes taken as head or body since the last call (stray and purged bytes do not count).
  uint32_t TakeCounted();

 private:
  Result DropAll(Kind kind, uint16_t length = 0);

  // Room for a whole frame and a large burst behind it.
  uint8_t m_buffer[4 * frame::kReceiveBufferSize] = {};
  size_t m_begin = 0, m_end = 0;
  bool m_inBody = false;
  bool m_realigned = false;  // the head was moved once; a second miss purges
  uint16_t m_length = 0;
  int64_t m_headSinceMs = 0;
  int64_t m_lastByteMs = 0;
  uint32_t m_counted = 0;
};

}  // namespace brisk::link
