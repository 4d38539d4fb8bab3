#include "sim/reader/ReaderSim.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace brisk::sim {

namespace {

// Types the reader never answers on its own: data, connection and upgrade traffic.
bool IsCommand(uint8_t type) {
  return type != 4 && type != 10 && type != 11 && type != 13 && type != 14;
}

void PutLe16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

// The commands the built-in reader knows, whose answers stand in for another's.
constexpr uint8_t kKnownCommands[] = {1, 2, 3, 5, 7, 8, 9, 12, 15, 16, 17};

void MakeRaw(int fd) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return;
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
}

}  // namespace

std::vector<uint8_t> EncodeFrame(uint8_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> out;
  out.reserve(payload.size() + 6);
  out.push_back(0x55);
  out.push_back(0xAA);
  PutLe16(out, static_cast<uint16_t>(payload.size() + 2));
  out.push_back(type);
  out.insert(out.end(), payload.begin(), payload.end());
  uint8_t x = 0;
  for (uint8_t b : out) x ^= b;
  out.push_back(x);
  return out;
}

ReplyChooser RandomReplies(uint32_t seed, const ReplyMix& mix) {
  // A plain generator and a plain modulo, so that a seed reads the same everywhere.
  return [state = uint64_t{seed} * 2 + 1, mix](const Frame&) mutable {
    const unsigned weights[] = {mix.atOnce, mix.late, mix.never, mix.otherType, mix.refuse};
    const uint64_t total = uint64_t{mix.atOnce} + mix.late + mix.never + mix.otherType + mix.refuse;
    if (total == 0) return Reply::AtOnce;
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    uint64_t pick = (state >> 33) % total;
    for (int i = 0;; ++i) {
      if (pick < weights[i]) return static_cast<Reply>(i);
      pick -= weights[i];
    }
  };
}

std::unique_ptr<ReaderSim> ReaderSim::Create() {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  if (master < 0) return nullptr;
  if (grantpt(master) != 0 || unlockpt(master) != 0) {
    close(master);
    return nullptr;
  }
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) {
    close(master);
    return nullptr;
  }
  MakeRaw(master);
  auto sim = std::unique_ptr<ReaderSim>(new ReaderSim(master, true, name));
  // Holding one slave descriptor keeps the master from reporting a hang-up before and
  // between the service's opens; raw mode so nothing is echoed before the service sets it.
  sim->m_slaveHold = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (sim->m_slaveHold >= 0) MakeRaw(sim->m_slaveHold);
  sim->m_thread = std::thread(&ReaderSim::Run, sim.get());
  return sim;
}

std::unique_ptr<ReaderSim> ReaderSim::Attach(int masterFd) {
  fcntl(masterFd, F_SETFD, FD_CLOEXEC);
  fcntl(masterFd, F_SETFL, fcntl(masterFd, F_GETFL) | O_NONBLOCK);
  auto sim = std::unique_ptr<ReaderSim>(new ReaderSim(masterFd, false, ""));
  sim->m_thread = std::thread(&ReaderSim::Run, sim.get());
  return sim;
}

ReaderSim::ReaderSim(int masterFd, bool owned, std::string slavePath)
    : m_fd(masterFd),
      m_owned(owned),
      m_slavePath(std::move(slavePath)),
      m_stopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ReaderSim::~ReaderSim() {
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(m_stopFd, &one, sizeof one);
  if (m_thread.joinable()) m_thread.join();
  if (m_owned) close(m_fd);
  if (m_slaveHold >= 0) close(m_slaveHold);
  close(m_stopFd);
  close(m_wakeFd);
}

void ReaderSim::SetAnswer(uint8_t code, Answer answer) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_script[code] = std::move(answer);
}

void ReaderSim::ClearAnswer(uint8_t code) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_script.erase(code);
}

ReaderSim::State ReaderSim::ReaderState() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_state;
}

void ReaderSim::EditReaderState(const std::function<void(State&)>& edit) {
  std::lock_guard<std::mutex> guard(m_mutex);
  edit(m_state);
}

void ReaderSim::SetReplyChooser(ReplyChooser chooser, int lateMs) {
  std::lock_guard<std::mutex> guard(m_chooserLock);
  m_chooser = std::move(chooser);
  m_lateMs = lateMs;
}

void ReaderSim::SetFrameHook(std::function<bool(ReaderSim&, const Frame&)> hook) {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_hook = std::move(hook);
}

bool ReaderSim::SendFrame(uint8_t type, const std::vector<uint8_t>& payload) {
  return SendRaw(EncodeFrame(type, payload));
}

bool ReaderSim::SendRaw(const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> guard(m_writeLock);
  if (m_unplugged) return false;
  // Gives up when the other side has not taken a byte for two seconds.
  size_t done = 0;
  int stalledMs = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(m_fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      stalledMs = 0;
    } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (stalledMs >= 2000) return false;
      pollfd p{m_fd, POLLOUT, 0};
      poll(&p, 1, 50);
      stalledMs += 50;
    } else {
      return false;
    }
  }
  return true;
}

std::optional<Frame> ReaderSim::WaitFrame(uint8_t type, int timeoutMs) {
  std::unique_lock<std::mutex> lock(m_mutex);
  std::optional<Frame> found;
  m_cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
      if (type == 0 || it->type == type) {
        found = std::move(*it);
        m_pending.erase(it);
        return true;
      }
    }
    return false;
  });
  return found;
}

std::vector<Frame> ReaderSim::Received() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_received;
}

void ReaderSim::ForgetReceived() {
  std::lock_guard<std::mutex> guard(m_mutex);
  m_received.clear();
  m_pending.clear();
}

size_t ReaderSim::ReceivedCount(uint8_t type) {
  std::lock_guard<std::mutex> guard(m_mutex);
  size_t count = 0;
  for (const Frame& f : m_received) count += (f.type == type);
  return count;
}

size_t ReaderSim::GarbageBytes() {
  std::lock_guard<std::mutex> guard(m_mutex);
  return m_garbage;
}

// As udev does on a real unplug, the emulated bus's node for this terminal goes before the
// terminal closes: left behind, it would lead to whichever process next gets the same pts
// number (a test running beside this one), and a start after the unplug would open that.
void ReaderSim::RemoveEmulatedNodes() {
  const char* root = std::getenv("UMOCKDEV_DIR");
  char pts[64];
  if (!root || ptsname_r(m_fd, pts, sizeof pts) != 0) return;
  const std::string dev = std::string(root) + "/dev";
  DIR* dir = opendir(dev.c_str());
  if (!dir) return;
  while (dirent* e = readdir(dir)) {
    const std::string node = dev + "/" + e->d_name;
    char target[64] = {};
    if (readlink(node.c_str(), target, sizeof target - 1) > 0 && std::strcmp(target, pts) == 0)
      unlink(node.c_str());
  }
  closedir(dir);
}

void ReaderSim::Unplug() {
  {
    std::lock_guard<std::mutex> guard(m_writeLock);
    if (m_unplugged) return;
    m_unplugged = true;
    RemoveEmulatedNodes();
    // dup2 rather than close: an emulated node's owner closes the master itself, and the
    // descriptor number must stay valid for the reading thread.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null >= 0) {
      dup2(null, m_fd);
      close(null);
    }
    if (m_slaveHold >= 0) {
      close(m_slaveHold);
      m_slaveHold = -1;
    }
  }
  // A poll in progress keeps the old master open (and the node openable) until it returns:
  // under load that was long enough for a start after the unplug to open the port again.
  if (std::this_thread::get_id() == m_thread.get_id()) return;
  const uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(m_wakeFd, &one, sizeof one);
  std::unique_lock<std::mutex> lock(m_mutex);
  m_releasedCond.wait_for(lock, std::chrono::seconds(10), [this] { return m_released; });
}

void ReaderSim::Run() {
  std::vector<uint8_t> stream;
  uint8_t chunk[4096];
  for (;;) {
    bool gone;
    {
      std::lock_guard<std::mutex> guard(m_writeLock);
      gone = m_unplugged;
    }
    pollfd fds[3] = {{m_stopFd, POLLIN, 0},
                     {m_wakeFd, POLLIN, 0},
                     {m_fd, static_cast<short>(gone ? 0 : POLLIN), 0}};
    const int due = SendDueAnswers();
    const int r = poll(fds, 3, gone ? -1 : due >= 0 && due < 200 ? due : 200);
    if (r < 0 && errno != EINTR) return;
    if (fds[0].revents & POLLIN) return;
    if (fds[1].revents & POLLIN) {
      uint64_t count;
      [[maybe_unused]] ssize_t n = read(m_wakeFd, &count, sizeof count);
      {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_released = true;
      }
      m_releasedCond.notify_all();
      continue;
    }
    if (gone || !(fds[2].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t n = read(m_fd, chunk, sizeof chunk);
    if (n <= 0) {
      // No slave open yet (or between opens): the master reports a hang-up; try again soon.
      poll(fds, 1, 5);
      continue;
    }
    stream.insert(stream.end(), chunk, chunk + n);
    Parse(stream);
  }
}

void ReaderSim::Parse(std::vector<uint8_t>& stream) {
  size_t pos = 0;
  for (;;) {
    // Skip to the next head.
    size_t head = pos;
    while (head + 1 < stream.size() && !(stream[head] == 0x55 && stream[head + 1] == 0xAA)) ++head;
    if (head + 1 >= stream.size()) {
      // Keep a trailing 0x55 that may start the next head.
      const size_t keep = (stream.size() > pos && stream.back() == 0x55) ? 1 : 0;
      AddGarbage(stream.size() - pos - keep);
      pos = stream.size() - keep;
      break;
    }
    AddGarbage(head - pos);
    pos = head;
    if (stream.size() - pos < 4) break;
    const size_t length = stream[pos + 2] | (stream[pos + 3] << 8);
    if (length < 2) {  // no type or no check byte: not a frame we can use
      AddGarbage(4);
      pos += 4;
      continue;
    }
    if (stream.size() - pos < 4 + length) break;
    uint8_t x = 0;
    for (size_t i = 0; i < 4 + length; ++i) x ^= stream[pos + i];
    if (x != 0) {
      AddGarbage(4 + length);
      pos += 4 + length;
      continue;
    }
    Frame f;
    f.type = stream[pos + 4];
    f.payload.assign(stream.begin() + static_cast<long>(pos) + 5,
                     stream.begin() + static_cast<long>(pos + 4 + length - 1));
    pos += 4 + length;
    Handle(f);
  }
  stream.erase(stream.begin(), stream.begin() + static_cast<long>(pos));
}

void ReaderSim::AddGarbage(size_t count) {
  if (count == 0) return;
  std::lock_guard<std::mutex> guard(m_mutex);
  m_garbage += count;
}

void ReaderSim::Handle(const Frame& frame) {
  std::function<bool(ReaderSim&, const Frame&)> hook;
  std::optional<Answer> scripted;
  {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_received.push_back(frame);
    hook = m_hook;
    auto it = m_script.find(frame.type);
    if (it != m_script.end()) scripted = it->second;
  }
  const bool answered = hook && hook(*this, frame);
  if (!answered) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pending.push_back(frame);
  }
  m_cond.notify_all();
  if (answered) return;

  if (scripted) {
    if (scripted->kind == Answer::Kind::Silent) return;
    if (scripted->delayMs > 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(scripted->delayMs));
    SendFrame(scripted->type ? scripted->type : frame.type, scripted->payload);
    return;
  }
  if (!IsCommand(frame.type)) return;
  Reply reply = Reply::AtOnce;
  int lateMs = 0;
  {
    std::lock_guard<std::mutex> guard(m_chooserLock);
    if (m_chooser) reply = m_chooser(frame);
    lateMs = m_lateMs;
  }
  ReplyAsChosen(frame, reply, lateMs);
}

void ReaderSim::ReplyAsChosen(const Frame& frame, Reply reply, int lateMs) {
  if (reply == Reply::Never) return;
  if (reply == Reply::Refuse) {
    SendFrame(frame.type, {1});
    return;
  }
  if (reply == Reply::OtherType) {
    // Another command's answer, with no payload of its own so the reader's values stay.
    size_t k = frame.type % std::size(kKnownCommands);
    if (kKnownCommands[k] == frame.type) k = (k + 1) % std::size(kKnownCommands);
    const Frame other{kKnownCommands[k], {}};
    if (auto answer = BuiltInAnswer(other)) SendFrame(other.type, *answer);
    return;
  }
  auto answer = BuiltInAnswer(frame);
  if (!answer) return;
  if (reply == Reply::AtOnce || lateMs <= 0) {
    SendFrame(frame.type, *answer);
    return;
  }
  m_late.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(lateMs),
                 Frame{frame.type, std::move(*answer)});
}

int ReaderSim::SendDueAnswers() {
  while (!m_late.empty()) {
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(
        m_late.begin()->first - std::chrono::steady_clock::now());
    if (wait.count() > 0) return static_cast<int>(wait.count());
    SendFrame(m_late.begin()->second.type, m_late.begin()->second.payload);
    m_late.erase(m_late.begin());
  }
  return -1;
}

std::optional<std::vector<uint8_t>> ReaderSim::BuiltInAnswer(const Frame& frame) {
  std::lock_guard<std::mutex> guard(m_mutex);
  State& s = m_state;
  const std::vector<uint8_t>& p = frame.payload;
  std::vector<uint8_t> out;
  switch (frame.type) {
    case 1:
      out = {s.cat1Result, s.cat1Model, s.cat1Second};
      break;
    case 2:
      if (!p.empty()) s.netMode = p[0];
      out = {0, 0};
      break;
    case 3:
      out = {0, s.connectStatus, s.connectType};
      break;
    case 5:
    case 15:
      out = {0, 0};
      break;
    case 7:
      out = {0, 0};
      out.insert(out.end(), s.licence, s.licence + 32);
      for (size_t i = 0; i < 12; ++i)
        out.push_back(i < s.mac.size() ? static_cast<uint8_t>(s.mac[i]) : 0);
      for (size_t i = 0; i < 20; ++i)
        out.push_back(i < s.iccid.size() ? static_cast<uint8_t>(s.iccid[i]) : 0);
      break;
    case 8:
      if (p.size() >= 5) {
        s.policy = p[0];
        s.cache = p[1];
        s.port = static_cast<uint16_t>(p[2] | (p[3] << 8));
        s.host.assign(p.begin() + 4, p.end());
        s.host = s.host.substr(0, s.host.find('\0'));
      }
      out = {0, 0};
      break;
    case 9:
      out = {0, 0, s.policy, s.cache};
      PutLe16(out, s.port);
      out.insert(out.end(), s.host.begin(), s.host.end());
      out.push_back(0);
      break;
    case 12:
      out = {0};
      PutLe16(out, s.latencyMs);
      break;
    case 16:
      if (p.size() >= 4) {
        s.usbHeartbeat = static_cast<uint16_t>(p[0] | (p[1] << 8));
        s.cat1Heartbeat = static_cast<uint16_t>(p[2] | (p[3] << 8));
      }
      out = {0, 0};
      break;
    case 17:
      out = {0, 0};
      PutLe16(out, s.usbHeartbeat);
      PutLe16(out, s.cat1Heartbeat);
      break;
    default:
      return std::nullopt;  // an unknown command: a real reader stays silent
  }
  return out;
}

}  // namespace brisk::sim
