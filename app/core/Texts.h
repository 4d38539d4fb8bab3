#pragma once
// The program's texts in the person's language. They keep the context their translations are
// filed under, the main window's, wherever the logic that shows them lives.
#include <QCoreApplication>
#include <QString>

namespace brisk::app {

inline QString Text(const char* source) {
  return QCoreApplication::translate("brisk::app::CBrisk7ServerDlg", source);
}

}  // namespace brisk::app
