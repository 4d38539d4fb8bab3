#include <gtest/gtest.h>

#include "link/Frame.h"

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

}  // namespace

}  // namespace brisk::link
