#include "tools/brisk-reader/Relay.h"

#include <cstdint>
#include <cstdlib>

#include "link/Brisk7Service.h"
#include "log/Escape.h"
#include "platform/Clock.h"
#include "tools/brisk-reader/ReaderOutput.h"

namespace brisk::tools {

int Relay(link::Brisk7Service& service, const RelayRequest& r, bool json,
          const std::atomic<bool>& stop, FILE* say) {
  // Each step may wait for the reader; a stop asked for meanwhile skips the rest.
  const link::Cat1Module cat1 = service.GetCat1Module();
  if (cat1.result == 1)
    std::fprintf(say, "Cat1 module: model 0x%x, 0x%x\n", cat1.model, cat1.second);
  else if (cat1.result == 0)
    std::fprintf(say, "Cat1 module: none\n");
  else
    std::fprintf(say, "Cat1 module: no answer (%d)\n", cat1.result);

  if (!stop) {
    const link::PlatformInfo reported = service.GetPlatform();
    if (reported.result == 0)
      std::fprintf(say, "reader's platform: %s:%u\n", EscapeControl(reported.host).c_str(),
                   reported.port);
  }
  if (!r.host.empty()) service.SetPlatformAddress(r.host, static_cast<uint32_t>(r.port));

  if (!stop) {
    const int netMode =
        r.mode == "auto" ? (service.CanReachPlatform() ? 1 : 2) : std::atoi(r.mode.c_str());
    const int modeResult = stop ? -1 : service.SetNetMode(netMode);
    std::fprintf(say, "network mode %d: %s\n", netMode, modeResult == 0 ? "set" : "not accepted");
  }
  const std::string platform =
      EscapeControl(service.PlatformHost()) + ":" + std::to_string(service.PlatformPort());
  if (json) std::fputs(JsonLine({{"event", "relaying"}, {"platform", platform}}).c_str(), stdout);
  std::fprintf(say, "relaying to %s; Ctrl-C stops\n", platform.c_str());
  std::fflush(stdout);
  std::fflush(say);

  while (!stop && service.IsRelayRunning()) platform::SleepMs(50);
  const bool lost = !service.IsRelayRunning();
  // Read before Stop, which zeroes them.
  const uint32_t written = service.ComBytesWritten(), read = service.ComBytesRead();
  const uint32_t sent = service.ServerBytesSent(), received = service.ServerBytesReceived();
  service.Stop(lost ? 0 : 1);

  Output out(json);
  out.Number("comBytesWritten", written);
  out.Number("comBytesRead", read);
  out.Number("serverBytesSent", sent);
  out.Number("serverBytesReceived", received);
  if (lost) {
    out.Print(-1, "relay ended: the reader is gone");
    return kExitNoAnswer;
  }
  out.Print(0, "relay stopped");
  return kExitOk;
}

}  // namespace brisk::tools
