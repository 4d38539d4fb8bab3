#include "tools/brisk-dfu/ConsoleView.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "tools/brisk-dfu/ConsoleText.h"

namespace brisk::tools {

ConsoleView::ConsoleView(bool json, bool chinese)
    : m_json(json), m_chinese(chinese), m_tty(isatty(STDOUT_FILENO)) {}

void ConsoleView::SetStatus(dfu::Status status) {
  // The dialog's closing words ask to close it: a terminal has nothing to close.
  const dfu::StatusText done = {"升级完成。如未能成功打开端口，请重新插拔读卡器",
                                "Upgrade done. If the port does not open, unplug and replug "
                                "the reader"};
  const dfu::StatusText& texts = status == dfu::Status::Done ? done : dfu::TextOf(status);
  const std::string text = m_chinese ? texts.chinese : texts.english;
  if (text == m_status) return;
  m_status = text;
  Flush();
  EndBar();
  if (m_json)
    std::fputs(JsonLine({{"event", "status"}, {"text", text}}).c_str(), stdout);
  else
    std::printf("%s\n", text.c_str());
  std::fflush(stdout);
}

void ConsoleView::ShowMessage(const std::string& text) {
  Flush();
  EndBar();
  if (m_json)
    std::fputs(JsonLine({{"event", "message"}, {"text", text}}).c_str(), stdout);
  else
    std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stdout);
}

void ConsoleView::Result(int code, const dfu::DfuFailure& failure) {
  Flush();
  EndBar();
  if (m_json) {
    Json line = {{"event", "result"}, {"exit", code}, {"status", code ? failure.reason : ""}};
    if (code) {
      static const char* const kOperations[] = {"detach", "leave", "upload", "erase", "download"};
      line["operation"] = failure.operation >= 0 && failure.operation <= 4
                              ? Json(kOperations[failure.operation])
                              : Json();
      line["code"] = failure.code ? Json(Hex("0x%08X", failure.code)) : Json();
    }
    std::fputs(JsonLine(line).c_str(), stdout);
  }
  std::fflush(stdout);
}

void ConsoleView::Flush() {
  if (m_phase.empty()) return;
  const std::string line = m_phase + "  " + m_size;
  if (line == m_last && m_percent == m_lastPercent) return;
  const auto now = std::chrono::steady_clock::now();
  std::string phase = m_phase;  // the phase without its figures
  phase.erase(
      std::remove_if(phase.begin(), phase.end(), [](char c) { return c >= '0' && c <= '9'; }),
      phase.end());
  if (phase == m_lastPhase && m_percent != 100 && now - m_lastShown < kProgressEvery) return;
  m_lastPhase = phase;
  m_lastShown = now;
  m_last = line;
  m_lastPercent = m_percent;
  if (m_json) {
    std::fputs(
        JsonLine(
            {{"event", "progress"}, {"percent", m_percent}, {"phase", m_phase}, {"bytes", m_size}})
            .c_str(),
        stdout);
  } else if (m_tty) {
    const int filled = m_percent * 30 / 100;
    std::printf("\r[%s%s] %s\033[K", std::string(size_t(filled), '#').c_str(),
                std::string(size_t(30 - filled), ' ').c_str(), line.c_str());
    m_barOpen = true;
  } else {
    std::printf("%s\n", line.c_str());
  }
  std::fflush(stdout);
}

void ConsoleView::EndBar() {
  if (m_barOpen) std::printf("\n");
  m_barOpen = false;
}

}  // namespace brisk::tools
