#include "app/Prompt.h"

#include <QApplication>
#include <QMessageBox>

namespace brisk::app {
namespace {

// No wait cursor over a question to the person; it comes back once the box is answered.
class CursorReleased {
 public:
  CursorReleased() {
    while (QApplication::overrideCursor()) {
      QApplication::restoreOverrideCursor();
      ++m_count;
    }
  }
  ~CursorReleased() {
    while (m_count-- > 0) QApplication::setOverrideCursor(Qt::WaitCursor);
  }

 private:
  int m_count = 0;
};

QWidget* AsWidget(QObject* parent) { return qobject_cast<QWidget*>(parent); }

}  // namespace

void MessageBoxPrompt::Message(QObject* parent, const QString& text) {
  CursorReleased cursor;
  QMessageBox::information(AsWidget(parent), QApplication::applicationName(), text,
                           QMessageBox::Ok);
}

bool MessageBoxPrompt::AskYesNo(QObject* parent, const QString& title, const QString& text) {
  CursorReleased cursor;
  return QMessageBox::question(AsWidget(parent), title, text, QMessageBox::Yes | QMessageBox::No) ==
         QMessageBox::Yes;
}

}  // namespace brisk::app
