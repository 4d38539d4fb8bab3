#pragma once
// Message boxes go through this seam, so that tests can answer them.
#include <QString>

class QWidget;

namespace brisk::app {

class Prompt {
 public:
  virtual ~Prompt() = default;
  // An OK box with the application's default title.
  virtual void Message(QWidget* parent, const QString& text) = 0;
  // A Yes/No question; true for Yes.
  virtual bool AskYesNo(QWidget* parent, const QString& title, const QString& text) = 0;
};

// QMessageBox, modal.
class MessageBoxPrompt : public Prompt {
 public:
  void Message(QWidget* parent, const QString& text) override;
  bool AskYesNo(QWidget* parent, const QString& title, const QString& text) override;
};

}  // namespace brisk::app
