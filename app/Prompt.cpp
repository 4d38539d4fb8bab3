#include "app/Prompt.h"

#include <QApplication>
#include <QMessageBox>

namespace brisk::app {

void MessageBoxPrompt::Message(QWidget* parent, const QString& text) {
  QMessageBox::information(parent, QApplication::applicationName(), text, QMessageBox::Ok);
}

bool MessageBoxPrompt::AskYesNo(QWidget* parent, const QString& title, const QString& text) {
  return QMessageBox::question(parent, title, text, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

}  // namespace brisk::app
