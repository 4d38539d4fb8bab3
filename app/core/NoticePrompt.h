#pragma once
// The prompt of the program without a window: a message box's text goes to standard error at
// warning priority (the journal under systemd) and to the log; a question is answered by rule
// and the answer is written beside it.
#include "app/core/Prompt.h"

namespace brisk::app {

class NoticePrompt : public Prompt {
 public:
  void Message(QObject* parent, const QString& text) override;
  // Yes to the start-up question about a reader waiting in DFU mode (its upgrade was cut off);
  // No to any other (the exit's question: No tells the reader, the safe side).
  bool AskYesNo(QObject* parent, const QString& title, const QString& text) override;
};

}  // namespace brisk::app
