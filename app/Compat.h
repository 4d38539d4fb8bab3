#pragma once
// Names of the engine as seen from brisk::app while the engine's namespaces move into brisk::.
#include "link/Brisk7Service.h"
#include "link/NetworkQuality.h"

namespace platform::devices {}
namespace brisk::platform {
using namespace ::platform;
}
namespace brisk::link {
using ::Brisk7Service;
using ::NetworkTestSummary;
using ::RunNetworkTest;
using ::SummarizeNetworkTest;
}  // namespace brisk::link
