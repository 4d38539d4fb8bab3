#pragma once
// The real message boxes behind the Prompt seam.
#include "app/core/Prompt.h"

namespace brisk::app {

// QMessageBox, modal.
class MessageBoxPrompt : public Prompt {
 public:
  void Message(QObject* parent, const QString& text) override;
  bool AskYesNo(QObject* parent, const QString& title, const QString& text) override;
};

}  // namespace brisk::app
