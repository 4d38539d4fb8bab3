// Relay figures on this machine: round-trip latency reader -> service -> platform -> service
// -> reader over a real pty and loopback TCP, one-way throughput, the relay thread's CPU use
// idle and busy, and the same round trip through socat as the baseline.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "link/Brisk7Service.h"
#include "sim/platform/PlatformServer.h"
#include "sim/reader/ReaderSim.h"

using namespace brisk;
using namespace brisk::link;

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// CPU seconds used so far by the thread of this process with the given name.
double ThreadCpuSeconds(const std::string& name) {
  DIR* dir = opendir("/proc/self/task");
  double total = 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(base + "/comm");
    std::string n;
    std::getline(comm, n);
    if (n != name) continue;
    std::ifstream stat(base + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream rest(line.substr(line.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stol(field);
      if (i == 15) stime = std::stol(field);
    }
    total += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  closedir(dir);
  return total;
}

bool ReadExactly(int fd, uint8_t* out, size_t n) {
  size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 5000) <= 0) return false;
    const ssize_t r = read(fd, out + got, n - got);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t n) {
  while (n > 0) {
    const ssize_t w = write(fd, data, n);
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

// Reads one frame from the reader's side; returns its type, or -1.
int ReadFrame(int fd, Bytes& payload) {
  uint8_t head[4];
  if (!ReadExactly(fd, head, 4)) return -1;
  const size_t length = head[2] | (head[3] << 8);
  Bytes body(length);
  if (!ReadExactly(fd, body.data(), length)) return -1;
  payload.assign(body.begin() + 1, body.end() - 1);
  return body[0];
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Percentiles {
  double p50, p99;
};

Percentiles Summarize(std::vector<double>& us) {
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

// A raw pty master the bench writes to as the reader; the service opens the slave.
struct RawPty {
  RawPty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    grantpt(master);
    unlockpt(master);
    slave = ptsname(master);
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
  }
  ~RawPty() { close(master); }
  int master;
  std::string slave;
};

std::vector<double> ServiceRoundTrips(int master, size_t payloadSize, int count) {
  const Bytes frame = sim::EncodeFrame(4, Bytes(payloadSize, 0x42));
  std::vector<double> us;
  us.reserve(static_cast<size_t>(count));
  Bytes payload;
  for (int i = 0; i < count; ++i) {
    const auto t0 = Clock::now();
    WriteAll(master, frame.data(), frame.size());
    size_t back = 0;
    while (back < payloadSize) {  // the platform may answer in more than one block
      if (ReadFrame(master, payload) != 4) return {};
      back += payload.size();
    }
    us.push_back(Seconds(Clock::now() - t0) * 1e6);
  }
  return us;
}

// socat between a pty and the platform, kept running while the bench alternates with it.
class SocatSession {
 public:
  explicit SocatSession(uint16_t port) {
    if (!mkdtemp(m_dir)) return;
    const std::string link = std::string(m_dir) + "/pty";
    m_pid = fork();
    if (m_pid == 0) {
      const std::string pty = "PTY,raw,echo=0,link=" + link;
      const std::string tcp = "TCP:127.0.0.1:" + std::to_string(port) + ",nodelay";
      execlp("socat", "socat", pty.c_str(), tcp.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    for (int i = 0; i < 100 && m_fd < 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      m_fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    }
    if (m_fd >= 0) {
      termios t{};
      tcgetattr(m_fd, &t);
      cfmakeraw(&t);
      tcsetattr(m_fd, TCSANOW, &t);
    }
  }
  ~SocatSession() {
    if (m_fd >= 0) close(m_fd);
    if (m_pid > 0) {
      kill(m_pid, SIGTERM);
      waitpid(m_pid, nullptr, 0);
    }
    rmdir(m_dir);
  }
  std::vector<double> RoundTrips(size_t size, int count) {
    std::vector<double> us;
    if (m_fd < 0) return us;
    const Bytes block(size, 0x42);
    Bytes back(size);
    for (int i = 0; i < count; ++i) {
      const auto t0 = Clock::now();
      if (!WriteAll(m_fd, block.data(), size) || !ReadExactly(m_fd, back.data(), size)) return {};
      us.push_back(Seconds(Clock::now() - t0) * 1e6);
    }
    return us;
  }

 private:
  char m_dir[32] = "/tmp/brisk-bench-XXXXXX";
  pid_t m_pid = -1;
  int m_fd = -1;
};

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
  signal(SIGPIPE, SIG_IGN);

  auto platform = sim::PlatformServer::Start();
  RawPty pty;
  Brisk7Service service;
  service.SetPlatformAddress("127.0.0.1", platform->Port());
  if (!service.StartDevice(pty.slave)) {
    std::fprintf(stderr, "cannot open the pty\n");
    return 1;
  }
  const Bytes connect = sim::EncodeFrame(10, {0, 0});
  WriteAll(pty.master, connect.data(), connect.size());
  Bytes payload;
  if (ReadFrame(pty.master, payload) != 10 || payload != Bytes{0, 0}) {
    std::fprintf(stderr, "no platform connection\n");
    return 1;
  }
  platform->WaitConnections(1, 5000);

  std::printf("relay benchmark: %d round trips per size and run, %d runs, %d s idle\n", count, runs,
              idleSeconds);

  // 3a. idle
  const double idle0 = ThreadCpuSeconds("brisk-relay");
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double idleCpu = (ThreadCpuSeconds("brisk-relay") - idle0) / idleSeconds * 100.0;

  // 1. round trips, ours and socat's interleaved (this machine is shared and noisy, so each
  // figure is the median over the runs), with the relay thread's CPU.
  auto echo = sim::PlatformServer::Start();
  struct Row {
    size_t size;
    std::vector<double> ours, socat, ours99, socat99, ratios;
  };
  std::vector<Row> rows = {{64, {}, {}, {}, {}, {}}, {1024, {}, {}, {}, {}, {}}};
  double busyCpu = 0, busyWall = 0;
  ServiceRoundTrips(pty.master, 64, count / 10);  // warm-up
  // Each run alternates short blocks of ours and socat's, so both meet the same load; a run's
  // ratio is the median of its blocks' ratios.
  constexpr int kBlocks = 10;
  for (auto& row : rows) {
    SocatSession socat(echo->Port());
    socat.RoundTrips(row.size + 6, count / 10);  // warm-up
    for (int run = 0; run < runs; ++run) {
      std::vector<double> ours, base, ratios;
      for (int block = 0; block < kBlocks; ++block) {
        const double cpu0 = ThreadCpuSeconds("brisk-relay");
        const auto t0 = Clock::now();
        auto a = ServiceRoundTrips(pty.master, row.size, count / kBlocks);
        busyWall += Seconds(Clock::now() - t0);
        busyCpu += ThreadCpuSeconds("brisk-relay") - cpu0;
        // The same bytes on the wire: socat carries the whole frame.
        auto b = socat.RoundTrips(row.size + 6, count / kBlocks);
        if (a.empty() || b.empty()) {
          std::fprintf(stderr, "round trips of %zu bytes failed\n", row.size);
          return 1;
        }
        ratios.push_back(Summarize(a).p50 / Summarize(b).p50);
        ours.insert(ours.end(), a.begin(), a.end());
        base.insert(base.end(), b.begin(), b.end());
      }
      const Percentiles p = Summarize(ours), q = Summarize(base);
      row.ours.push_back(p.p50);
      row.ours99.push_back(p.p99);
      row.socat.push_back(q.p50);
      row.socat99.push_back(q.p99);
      row.ratios.push_back(Median(ratios));
    }
  }

  // 2. one-way throughput with full-size frames (2094 payload bytes each)
  const size_t full = 2094;
  const int frames = 2000;
  const Bytes bigFrame = sim::EncodeFrame(4, Bytes(full, 0x37));
  sim::PlatformServer::Options sinkOptions;
  sinkOptions.echo = false;
  auto sink = sim::PlatformServer::Start(sinkOptions);
  service.SetPlatformAddress("127.0.0.1", sink->Port());
  WriteAll(pty.master, connect.data(), connect.size());
  while (ReadFrame(pty.master, payload) != 10) {
  }
  sink->WaitConnections(1, 5000);
  const auto t0 = Clock::now();
  for (int i = 0; i < frames; ++i) WriteAll(pty.master, bigFrame.data(), bigFrame.size());
  sink->WaitReceived(full * frames, 60000);
  const double oneWay = static_cast<double>(sink->Received().size()) / Seconds(Clock::now() - t0);

  service.Stop(0);

  const double lineRate = 115200.0 / 10.0;  // bytes per second on a 115200-baud 8N1 line
  for (auto& row : rows) {
    const double ratio = Median(row.ratios);
    std::printf(
        "round trip %4zu B, median of %d runs: p50 %7.1f us  p99 %7.1f us | socat p50 %7.1f us  "
        "p99 %7.1f us | p50 ratio %.2f (target <= 0.90), p99 %s 2 ms\n",
        row.size, runs, Median(row.ours), Median(row.ours99), Median(row.socat),
        Median(row.socat99), ratio, Median(row.ours99) < 2000 ? "under" : "OVER");
    std::printf("  runs' p50 ratios (each the median of %d paired blocks):", kBlocks);
    for (double r : row.ratios) std::printf(" %.2f", r);
    std::printf("\n");
  }
  std::printf("one-way throughput: %.0f KiB/s = %.0f x a 115200-baud line (target >= 10)\n",
              oneWay / 1024, oneWay / lineRate);
  std::printf(
      "relay thread CPU: idle %.4f %% of one core over %d s (target < 0.1), relaying %.1f %%\n",
      idleCpu, idleSeconds, busyWall > 0 ? busyCpu / busyWall * 100.0 : 0.0);
  return 0;
}
