#pragma once
// The program's language: English where the locale's language is English, Chinese (its texts'
// own language) otherwise, with Qt's own texts (standard buttons, edit menus) to match.
#include <QLocale>

class QCoreApplication;

namespace brisk::app {

// Installs the translators for locale into application; before any window is made.
void InstallTranslations(QCoreApplication& application, const QLocale& locale = QLocale());

}  // namespace brisk::app
