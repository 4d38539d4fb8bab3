#pragma once
// Message boxes and questions go through this seam: the window answers them with real boxes,
// tests record them, and the program's logic asks without knowing which.
#include <QString>

class QObject;

namespace brisk::app {

class Prompt {
 public:
  virtual ~Prompt() = default;
  // An OK box with the application's default title, over parent (a window, or none).
  virtual void Message(QObject* parent, const QString& text) = 0;
  // A Yes/No question; true for Yes.
  virtual bool AskYesNo(QObject* parent, const QString& title, const QString& text) = 0;
};

}  // namespace brisk::app
