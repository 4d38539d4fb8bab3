// What brisk-dfu flash shows: the engine's status, messages and progress on a terminal (a bar
// when it is one) or as JSON events, and the last line with the result and the failure.
#pragma once

#include <chrono>
#include <string>

#include "dfu/DfuUpgradeEngine.h"

namespace brisk::tools {

class ConsoleView : public dfu::DfuView {
 public:
  // chinese: the status lines in Chinese (a zh_* locale), else in English.
  ConsoleView(bool json, bool chinese);

  void SetStatus(dfu::Status status) override;
  void SetProgress(int percent) override { m_percent = percent; }
  void SetProgressText(const std::string& text) override { m_phase = text; }
  void SetSizeText(const std::string& text) override { m_size = text; }
  void ShowMessage(const std::string& text) override;
  // The last line: the exit code and, after a failure, what failed and why.
  void Result(int code, const dfu::DfuFailure& failure);

  // Shows the progress once a step has set all of it: each phase's first and last figure, and
  // between them at most one line per kProgressEveryMs, however often the flash polls.
  void Flush();

 private:
  void EndBar();

  static constexpr std::chrono::milliseconds kProgressEvery{250};

  bool m_json, m_chinese, m_tty;
  bool m_barOpen = false;
  std::string m_status, m_phase, m_size, m_last, m_lastPhase;
  std::chrono::steady_clock::time_point m_lastShown{};
  int m_percent = 0, m_lastPercent = -1;
};

}  // namespace brisk::tools
