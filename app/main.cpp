// BriskNetService: the card reader's tray service.
#include <QApplication>

#include "app/AboutDialog.h"
#include "app/Brisk7ServerApp.h"
#include "app/Prompt.h"

int main(int argc, char** argv) {
  int exitCode = 0;
  if (brisk::app::HandleCommandLine(argc, argv, &exitCode)) return exitCode;
  // Plain widgets: no OpenGL libraries loaded for nothing (a tray program stays small).
  if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) qputenv("QT_XCB_GL_INTEGRATION", "none");
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("BriskNetService"));
  QApplication::setApplicationVersion(QString::fromLatin1(brisk::app::ProductVersion()));
  QApplication::setDesktopFileName(QStringLiteral("net.brisk.NetService"));
  // The window hides to the tray; only the exit command ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  brisk::app::MessageBoxPrompt prompt;
  brisk::app::CBrisk7ServerApp app(prompt, {});
  if (!app.InitInstance()) return 0;
  return QApplication::exec();
}
