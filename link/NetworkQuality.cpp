#include "link/NetworkQuality.h"

#include "link/Brisk7Service.h"
#include "platform/Clock.h"

namespace brisk::link {

NetworkTestSummary SummarizeNetworkTest(const std::vector<int>& results) {
  NetworkTestSummary s;
  long sum = 0;
  for (int r : results) {
    if (r < 0) {
      ++s.failures;
      continue;
    }
    ++s.successes;
    sum += r;
    if (r > s.maximum) s.maximum = r;
  }
  if (s.successes > 0) s.average = static_cast<int>(sum / s.successes);
  return s;
}

int RunNetworkProbe(Brisk7Service& service) {
  const int result = service.TestNetwork(1, 50);
  platform::SleepMs(50);
  return result;
}

std::vector<int> RunNetworkTest(Brisk7Service& service, int count) {
  std::vector<int> results;
  for (int i = 0; i < count; ++i) results.push_back(RunNetworkProbe(service));
  return results;
}

}  // namespace brisk::link
