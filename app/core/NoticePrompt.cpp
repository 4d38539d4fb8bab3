#include "app/core/NoticePrompt.h"

#include "app/core/Texts.h"
#include "log/Log.h"

namespace brisk::app {

void NoticePrompt::Message(QObject*, const QString& text) {
  WriteNotice(text.toUtf8().constData());
}

bool NoticePrompt::AskYesNo(QObject*, const QString&, const QString& text) {
  const bool yes = text == PendingDfuQuestion();
  WriteNotice(
      (text + (yes ? QStringLiteral(" -> Yes") : QStringLiteral(" -> No"))).toUtf8().constData());
  return yes;
}

}  // namespace brisk::app
