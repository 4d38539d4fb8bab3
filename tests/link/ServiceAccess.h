#pragma once
// Lets the link tests look at the service's hand-over state.
#include <cstring>
#include <mutex>
#include <vector>

#include "link/Brisk7Service.h"

namespace brisk::link {

class Brisk7ServiceTestAccess {
 public:
  static std::vector<uint8_t> Staged(Brisk7Service& s) {
    std::lock_guard<std::mutex> guard(s.m_comLock);
    return {s.m_answerStaging.begin(), s.m_answerStaging.begin() + s.m_answerLength};
  }
  static bool AnswerSignalled(Brisk7Service& s) { return s.m_answerEvent.IsSet(); }
  static void ResetAnswer(Brisk7Service& s) { s.m_answerEvent.Reset(); }
  static bool ThreadJoinable(Brisk7Service& s) { return s.m_relayThread.joinable(); }
  static void SetConnecting(Brisk7Service& s, uint8_t value) {
    std::lock_guard<std::mutex> guard(s.m_comLock);
    s.m_connecting = value;
  }
  static void SetStallLimit(Brisk7Service& s, int ms) { s.m_stallLimitMs = ms; }
};

}  // namespace brisk::link
