#pragma once
// The reader's network-quality test: a run of latency probes and its summary.
#include <vector>

namespace brisk::link {

class Brisk7Service;

struct NetworkTestSummary {
  int successes = 0;
  int failures = 0;
  int average = 0;  // integer mean of the successful probes, in ms
  int maximum = 0;
};

// Each value is one probe's result: a latency of 0 or more, or a negative failure code.
NetworkTestSummary SummarizeNetworkTest(const std::vector<int>& results);

// One probe with the parameters 1 and 50, then the 50 ms pause before the next.
int RunNetworkProbe(Brisk7Service& service);
// count probes, one after another.
std::vector<int> RunNetworkTest(Brisk7Service& service, int count);

}  // namespace brisk::link
