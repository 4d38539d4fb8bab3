#pragma once
// The program's texts in the person's language. They keep the context their translations are
// filed under, the main window's, wherever the logic that shows them lives.
#include <QCoreApplication>
#include <QString>

namespace brisk::app {

inline QString Text(const char* source) {
  return QCoreApplication::translate("brisk::app::CBrisk7ServerDlg", source);
}

// The start-up question about a reader that waits in DFU mode.
inline QString PendingDfuQuestion() { return Text("检查到有设备需要升级，是否升级?"); }

}  // namespace brisk::app
