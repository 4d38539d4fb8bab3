// brisk-reader's relay mode: the reader's link to its platform kept running until a stop.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>

namespace brisk::link {
class Brisk7Service;
}

namespace brisk::tools {

struct RelayRequest {
  std::string host;  // --platform override; empty: the reader's own
  long port = 0;
  std::string mode = "auto";  // "auto", "1" or "2"
};

// Prepares the reader and relays until stop is set or the link ends, then stops the service
// and prints its counters. Lines for people go to say; with json, events to standard output.
int Relay(link::Brisk7Service& service, const RelayRequest& r, bool json,
          const std::atomic<bool>& stop, FILE* say);

}  // namespace brisk::tools
