#include <gtest/gtest.h>
#include <algorithm>
#include <vector>

#include "link/Frame.h"
#include "link/SerialFrameReader.h"

namespace brisk::link {

namespace {

using Bytes = std::vector<uint8_t>;

TEST(FrameCodec, WorkedExamples) {
  EXPECT_EQ(frame::Encode(5, {0, 0}), (Bytes{0x55, 0xAA, 0x04, 0x00, 0x05, 0x00, 0x00, 0xFE}));
  EXPECT_EQ(frame::Encode(1, {0, 0}), (Bytes{0x55, 0xAA, 0x04, 0x00, 0x01, 0x00, 0x00, 0xFA}));
  EXPECT_EQ(frame::Encode(16, {0x58, 0x02, 0x58, 0x02}),
            (Bytes{0x55, 0xAA, 0x06, 0x00, 0x10, 0x58, 0x02, 0x58, 0x02, 0xE9}));
  EXPECT_EQ(frame::Encode(10, {0, 0}), (Bytes{0x55, 0xAA, 0x04, 0x00, 0x0A, 0x00, 0x00, 0xF1}));
  EXPECT_EQ(frame::Encode(10, {1, 1}), (Bytes{0x55, 0xAA, 0x04, 0x00, 0x0A, 0x01, 0x01, 0xF1}));
  EXPECT_EQ(frame::Encode(4, {0x01, 0x3F, 0x02}),
            (Bytes{0x55, 0xAA, 0x05, 0x00, 0x04, 0x01, 0x3F, 0x02, 0xC2}));
  EXPECT_EQ(frame::Encode(11, {1, 0}), (Bytes{0x55, 0xAA, 0x04, 0x00, 0x0B, 0x01, 0x00, 0xF1}));
}

TEST(FrameCodec, LengthAndChecksumOfLargeFrames) {
  Bytes payload(2099);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  const Bytes f = frame::Encode(4, payload);
  ASSERT_EQ(f.size(), 2105u);
  EXPECT_EQ(frame::ReadLe16(f.data() + 2), 2101);
  EXPECT_EQ(frame::Checksum(f.data(), f.size()), 0) << "a whole frame XORs to zero";
}

TEST(FrameCodec, DataTooLongForTheLengthFieldIsRefused) {
  Bytes data(0xFFFF);
  Bytes out(data.size() + 5);
  EXPECT_EQ(frame::Encode(data.data(), data.size(), out.data()), 0u);
  EXPECT_EQ(frame::Encode(data.data(), 0xFFFE, out.data()), 0xFFFEu + 5);
  EXPECT_EQ(frame::ReadLe16(out.data() + 2), 0xFFFF);
}

TEST(FrameCodec, LittleEndianHelpers) {
  uint8_t b[4];
  frame::WriteLe32(b, 0x00011170);
  EXPECT_EQ(b[0], 0x70);
  EXPECT_EQ(b[1], 0x11);
  EXPECT_EQ(b[2], 0x01);
  EXPECT_EQ(b[3], 0x00);
  EXPECT_EQ(frame::ReadLe32(b), 70000u);
  frame::WriteLe16(b, 600);
  EXPECT_EQ(frame::ReadLe16(b), 600);
}

// The cutter on its own, with the time given by the test: what the relay does with each read.
class Cutter : public ::testing::Test {
 protected:
  using Kind = SerialFrameReader::Kind;
  void Add(const Bytes& bytes, int64_t now) {
    ASSERT_LE(bytes.size(), reader.SpaceSize());
    std::copy(bytes.begin(), bytes.end(), reader.Space());
    reader.Added(bytes.size(), now);
  }
  // The kinds Next() gives until it needs more, frames as their type byte.
  std::vector<int> Drain(int64_t now) {
    std::vector<int> out;
    for (auto r = reader.Next(now); r.kind != Kind::NeedMore; r = reader.Next(now))
      out.push_back(r.kind == Kind::Frame ? 100 + r.frame[4] : static_cast<int>(r.kind));
    return out;
  }
  SerialFrameReader reader;
};

TEST_F(Cutter, EveryFrameOfABurstIsCutFromOneReadAndAFrameInPiecesIsJoined) {
  Bytes burst;
  for (uint8_t type : {3, 4, 5}) {
    const Bytes f = frame::Encode(type, Bytes(type * 100, type));
    burst.insert(burst.end(), f.begin(), f.end());
  }
  const Bytes last = frame::Encode(9, Bytes(2000, 9));
  burst.insert(burst.end(), last.begin(), last.begin() + 1000);
  Add({0x55, 0xAA, 0x00, 0x00}, 0);  // an empty frame is taken silently
  Add(burst, 0);
  EXPECT_EQ(Drain(0), (std::vector<int>{103, 104, 105}));
  Add(Bytes(last.begin() + 1000, last.end()), 10);
  EXPECT_EQ(Drain(10), (std::vector<int>{109}));
  EXPECT_EQ(reader.TakeCounted(), 4 + burst.size() - 1000 + last.size());
  EXPECT_EQ(reader.Deadline(), -1);
}

TEST_F(Cutter, SilenceEndsAPartialHeadOrFrameAtItsDeadlineAndNotBefore) {
  Add({0x37}, 0);
  EXPECT_EQ(Drain(kHeadWaitMs - 1), std::vector<int>{});
  EXPECT_EQ(reader.Deadline(), kHeadWaitMs);
  EXPECT_EQ(Drain(kHeadWaitMs), (std::vector<int>{static_cast<int>(Kind::HeadTimedOut)}));

  const Bytes f = frame::Encode(7, Bytes(50, 1));
  Add(Bytes(f.begin(), f.begin() + 10), 5000);
  EXPECT_EQ(Drain(5000), std::vector<int>{});
  Add(Bytes(f.begin() + 10, f.begin() + 20), 7000);  // silence is counted from the last byte
  EXPECT_EQ(Drain(7000 + kBodySilenceMs - 1), std::vector<int>{});
  EXPECT_EQ(Drain(7000 + kBodySilenceMs), (std::vector<int>{static_cast<int>(Kind::BodyTimedOut)}));
  reader.TakeCounted();
  Add(f, 20000);
  EXPECT_EQ(Drain(20000), (std::vector<int>{107}));
  EXPECT_EQ(reader.TakeCounted(), f.size());
}

TEST_F(Cutter, AStrayByteBeforeAHeadIsDroppedAndAnythingElseThrowsEverythingAway) {
  const Bytes answer = {0x55, 0xAA, 0x04, 0x00, 0x05, 0x00, 0x00, 0xFE};
  Bytes stray = {0x00};
  stray.insert(stray.end(), answer.begin(), answer.end());
  Add(stray, 0);
  EXPECT_EQ(Drain(0), (std::vector<int>{static_cast<int>(Kind::Realigned), 105}));

  Bytes noHead = {0x01, 0x02, 0x03, 0x04};
  noHead.insert(noHead.end(), answer.begin(), answer.end());
  Add(noHead, 0);
  EXPECT_EQ(Drain(0), (std::vector<int>{static_cast<int>(Kind::BadHead)}));

  // Moved once onto a 55 that is not followed by AA: everything goes.
  Bytes twice = {0x00, 0x00, 0x00, 0x55, 0x00};
  twice.insert(twice.end(), answer.begin(), answer.end());
  Add(twice, 0);
  EXPECT_EQ(Drain(0),
            (std::vector<int>{static_cast<int>(Kind::Realigned), static_cast<int>(Kind::BadHead)}));

  Add({0x55, 0xAA, 0x31, 0x08, 0x41}, 0);  // 2097: longer than any frame
  EXPECT_EQ(Drain(0), (std::vector<int>{static_cast<int>(Kind::TooLong)}));
  EXPECT_EQ(reader.Deadline(), -1);
}

}  // namespace

}  // namespace brisk::link
