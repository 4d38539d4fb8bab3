#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "sim/reader/ReaderSim.h"
#include "tests/support/TestSupport.h"

namespace brisk::sim {

namespace {

using Bytes = std::vector<uint8_t>;

// Plays the service's side of the pty: opens the slave raw and reads whole frames.
class ServiceSide {
 public:
  explicit ServiceSide(const std::string& path) : m_fd(open(path.c_str(), O_RDWR | O_NOCTTY)) {
    termios t{};
    tcgetattr(m_fd, &t);
    cfmakeraw(&t);
    tcsetattr(m_fd, TCSANOW, &t);
  }
  ~ServiceSide() { close(m_fd); }
  bool Write(const Bytes& b) {
    return write(m_fd, b.data(), b.size()) == static_cast<ssize_t>(b.size());
  }
  // Reads exactly n bytes within a generous bound, or fewer when the line dies.
  Bytes Read(size_t n, int timeoutMs = 3000) {
    Bytes out;
    uint8_t buf[4096];
    while (out.size() < n) {
      pollfd p{m_fd, POLLIN, 0};
      if (poll(&p, 1, timeoutMs) <= 0) break;
      const ssize_t r = read(m_fd, buf, std::min(sizeof buf, n - out.size()));
      if (r <= 0) break;
      out.insert(out.end(), buf, buf + r);
    }
    return out;
  }
  int Fd() const { return m_fd; }

 private:
  int m_fd;
};

class ReaderSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reader = sim::ReaderSim::Create();
    ASSERT_NE(reader, nullptr);
    side = std::make_unique<ServiceSide>(reader->SlavePath());
    ASSERT_GE(side->Fd(), 0);
  }
  std::unique_ptr<sim::ReaderSim> reader;
  std::unique_ptr<ServiceSide> side;
};

TEST_F(ReaderSimTest, EncodesTheWireFormat) {
  EXPECT_EQ(sim::EncodeFrame(5, {0, 0}), (Bytes{0x55, 0xAA, 0x04, 0x00, 0x05, 0x00, 0x00, 0xFE}));
  EXPECT_EQ(sim::EncodeFrame(4, {0x01, 0x3F, 0x02}),
            (Bytes{0x55, 0xAA, 0x05, 0x00, 0x04, 0x01, 0x3F, 0x02, 0xC2}));
}

TEST_F(ReaderSimTest, ParsesMergedAndSplitFramesAndCountsGarbage) {
  Bytes stream = {0x00, 0x13};  // noise before a head
  for (uint8_t t : {0x21, 0x22, 0x23}) {
    const Bytes f = sim::EncodeFrame(t, {t, 0x55, 0xAA});
    stream.insert(stream.end(), f.begin(), f.end());
  }
  Bytes bad = sim::EncodeFrame(0x24, {1});
  bad.back() ^= 0xFF;  // a wrong check byte
  stream.insert(stream.end(), bad.begin(), bad.end());
  // Byte by byte: the reader must parse a stream, not one frame per read.
  for (uint8_t b : stream) ASSERT_TRUE(side->Write({b}));
  ASSERT_TRUE(test::Eventually([&] { return reader->GarbageBytes() == 2 + bad.size(); }));
  const auto frames = reader->Received();
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[1].type, 0x22);
  EXPECT_EQ(frames[1].payload, (Bytes{0x22, 0x55, 0xAA}));
  EXPECT_EQ(reader->WaitFrame(0x23, 100)->type, 0x23) << "waits pick by type";
  EXPECT_EQ(reader->WaitFrame(0, 100)->type, 0x21);
  EXPECT_FALSE(reader->WaitFrame(0x23, 50).has_value()) << "a frame is taken once";
}

TEST_F(ReaderSimTest, BuiltInReaderAnswersCommandsWithTheirOwnType) {
  side->Write(sim::EncodeFrame(9, {0, 0}));
  const Bytes answer = side->Read(6 + 6 + 9 + 1);
  // result, unread byte, policy, cache, port 21313, host, zero
  Bytes expected;
  for (uint8_t b : {0, 0, 1, 0, 0x41, 0x53}) expected.push_back(b);
  for (char c : std::string("127.0.0.1")) expected.push_back(static_cast<uint8_t>(c));
  expected.push_back(0);
  EXPECT_EQ(answer, sim::EncodeFrame(9, expected));

  side->Write(sim::EncodeFrame(16, {0x2C, 0x01, 0x58, 0x02}));
  EXPECT_EQ(side->Read(8), sim::EncodeFrame(16, {0, 0}));
  EXPECT_EQ(reader->ReaderState().usbHeartbeat, 300);
  EXPECT_EQ(reader->ReaderState().cat1Heartbeat, 600);
}

TEST_F(ReaderSimTest, DataAndNoticesAreNeverAnswered) {
  for (uint8_t t : {4, 10, 11, 13, 14}) side->Write(sim::EncodeFrame(t, {0, 0}));
  ASSERT_TRUE(test::Eventually([&] { return reader->Received().size() == 5; }));
  EXPECT_TRUE(side->Read(1, 200).empty());
}

TEST_F(ReaderSimTest, ScriptOverridesTypeDelayAndSilence) {
  sim::Answer other;
  other.type = 0x30;
  other.payload = {7, 8};
  reader->SetAnswer(2, other);
  side->Write(sim::EncodeFrame(2, {1, 0}));
  EXPECT_EQ(side->Read(8), sim::EncodeFrame(0x30, {7, 8}));

  sim::Answer silent;
  silent.kind = sim::Answer::Kind::Silent;
  reader->SetAnswer(1, silent);
  side->Write(sim::EncodeFrame(1, {0, 0}));
  EXPECT_TRUE(side->Read(1, 300).empty());

  reader->ClearAnswer(1);
  side->Write(sim::EncodeFrame(1, {0, 0}));
  EXPECT_EQ(side->Read(9), sim::EncodeFrame(1, {1, 5, 0}));
}

TEST_F(ReaderSimTest, HookAnswersInsteadOfTheBuiltInReader) {
  reader->SetFrameHook([](sim::ReaderSim& r, const sim::Frame& f) {
    if (f.type != 13) return false;
    r.SendFrame(13, {0x01});
    return true;
  });
  side->Write(sim::EncodeFrame(13, {}));
  EXPECT_EQ(side->Read(7), sim::EncodeFrame(13, {0x01}));
  EXPECT_FALSE(reader->WaitFrame(13, 50).has_value()) << "a frame the hook answered is not queued";
}

TEST(ReplyMixTest, ASeedGivesTheSameChoicesAndZeroWeightsNeverCome) {
  auto draw = [](uint32_t seed, ReplyMix mix) {
    ReplyChooser choose = RandomReplies(seed, mix);
    std::vector<Reply> out;
    for (int i = 0; i < 400; ++i) out.push_back(choose(Frame{1, {}}));
    return out;
  };
  const std::vector<Reply> first = draw(7, {1, 1, 1, 1, 1});
  EXPECT_EQ(first, draw(7, {1, 1, 1, 1, 1}));
  EXPECT_NE(first, draw(8, {1, 1, 1, 1, 1}));
  for (Reply r : {Reply::AtOnce, Reply::Late, Reply::Never, Reply::OtherType, Reply::Refuse})
    EXPECT_GT(std::count(first.begin(), first.end(), r), 40) << static_cast<int>(r);
  const std::vector<Reply> some = draw(7, {0, 3, 1, 0, 0});
  EXPECT_EQ(std::count(some.begin(), some.end(), Reply::AtOnce), 0);
  EXPECT_EQ(std::count(some.begin(), some.end(), Reply::OtherType), 0);
  EXPECT_GT(std::count(some.begin(), some.end(), Reply::Late),
            std::count(some.begin(), some.end(), Reply::Never));
  EXPECT_EQ(draw(1, {0, 0, 0, 0, 0}), std::vector<Reply>(400, Reply::AtOnce));
}

TEST_F(ReaderSimTest, ChosenRepliesComeLateNeverOrAsAnotherType) {
  static constexpr Reply kPlan[] = {Reply::Late, Reply::AtOnce, Reply::Never, Reply::OtherType,
                                    Reply::Refuse};
  std::atomic<size_t> chosen{0};
  reader->SetReplyChooser([&chosen](const Frame&) { return kPlan[chosen++ % 5]; }, 400);
  side->Write(sim::EncodeFrame(2, {1, 0}));                     // late
  side->Write(sim::EncodeFrame(16, {0x2C, 0x01, 0x58, 0x02}));  // at once
  // The late answer does not hold up the next command's.
  EXPECT_EQ(side->Read(8, 300), sim::EncodeFrame(16, {0, 0}));
  EXPECT_EQ(side->Read(8), sim::EncodeFrame(2, {0, 0}));
  EXPECT_EQ(reader->ReaderState().netMode, 1) << "a late answer's command took effect";

  side->Write(sim::EncodeFrame(2, {2, 0}));  // never
  EXPECT_TRUE(side->Read(1, 300).empty());
  EXPECT_EQ(reader->ReaderState().netMode, 1) << "a lost command changes nothing";

  side->Write(sim::EncodeFrame(2, {2, 0}));  // another command's answer in its place
  const Bytes head = side->Read(5);
  ASSERT_EQ(head.size(), 5u);
  EXPECT_NE(head[4], 2);
  EXPECT_EQ(reader->ReaderState().netMode, 1);
  side->Read(static_cast<size_t>(head[2] | head[3] << 8) - 1);  // the rest of that frame

  side->Write(sim::EncodeFrame(2, {2, 0}));  // refused
  EXPECT_EQ(side->Read(7), sim::EncodeFrame(2, {1}));
  EXPECT_EQ(reader->ReaderState().netMode, 1);
  EXPECT_EQ(chosen, 5u);
}

TEST_F(ReaderSimTest, UnplugMakesTheServiceSideFail) {
  reader->Unplug();
  uint8_t b;
  pollfd p{side->Fd(), POLLIN, 0};
  ASSERT_GT(poll(&p, 1, 2000), 0);
  EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
  EXPECT_LE(read(side->Fd(), &b, 1), 0);
  EXPECT_FALSE(reader->SendFrame(1, {0, 0}));
}

TEST_F(ReaderSimTest, SendGivesUpWhenNobodyReads) {
  // Nobody reads the slave: the pty fills and the send must not hang.
  const Bytes big(1 << 20, 0x42);
  EXPECT_FALSE(reader->SendRaw(big));
}

}  // namespace

}  // namespace brisk::sim
