// BriskNetService: the card reader's tray service.
#include <QApplication>
#include <cstdio>

#include "app/AboutDialog.h"
#include "app/Brisk7ServerApp.h"
#include "app/Prompt.h"
#include "app/Translations.h"

int main(int argc, char** argv) {
  int exitCode = 0;
  if (brisk::app::HandleCommandLine(argc, argv, &exitCode)) return exitCode;
  // Without any display the toolkit would abort with a message about reinstalling.
  if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") &&
      qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    std::fprintf(stderr,
                 "BriskNetService: no display: it is a tray program and needs a desktop session "
                 "(DISPLAY or WAYLAND_DISPLAY is not set)\n");
    return 1;
  }
  // Plain widgets: no OpenGL libraries loaded for nothing (a tray program stays small).
  if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION")) qputenv("QT_XCB_GL_INTEGRATION", "none");
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("BriskNetService"));
  QApplication::setApplicationVersion(QString::fromLatin1(brisk::app::ProductVersion()));
  QApplication::setDesktopFileName(QStringLiteral("net.brisk.NetService"));
  brisk::app::InstallTranslations(application);
  // The window hides to the tray; only the exit command ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  brisk::app::MessageBoxPrompt prompt;
  brisk::app::AppOptions options;
  options.autostarted = brisk::app::StartedByAutostart(argc, argv);
  brisk::app::CBrisk7ServerApp app(prompt, options);
  if (!app.InitInstance()) return 0;
  return QApplication::exec();
}
