// The tray icon and its four commands' tip and mode, and the window without a tray.
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpressionValidator>
#include <QSocketNotifier>
#include <QSvgRenderer>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include "app/Brisk7ServerDlg.h"
#include "app/CommandRunner.h"
#include "app/ControlIds.h"
#include "app/DFUpgradeDialog.h"
#include "app/LogindSleep.h"
#include "app/Prompt.h"
#include "app/WindowParts.h"
#include "app/core/PortDiscovery.h"
#include "link/NetworkQuality.h"
#include "log/Log.h"
#include "platform/Autostart.h"

// The icons live in this static library: their resources are registered by hand.
static void InitIconResources() { Q_INIT_RESOURCE(icons); }

namespace brisk::app {
namespace {
constexpr int kTrayPollMs = 500;
}  // namespace

QIcon LoadIcon(const QString& name) {
  static const bool registered = (InitIconResources(), true);
  (void)registered;
  QSvgRenderer renderer(QStringLiteral(":/icons/%1.svg").arg(name));
  QIcon icon;
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    renderer.render(&painter);
    painter.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

void CBrisk7ServerDlg::AddTrayIcon() {
  m_trayMode = 0;
  m_trayTip = QStringLiteral("读卡服务");
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    m_trayIcon = new QSystemTrayIcon(m_hIcon, this);
    m_trayIcon->setObjectName(QStringLiteral("trayIcon"));
    m_trayIcon->setToolTip(m_trayTip);
    m_trayIcon->setContextMenu(m_commandMenu);
    connect(m_trayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
              if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick)
                OnShowWindow();
            });
    m_trayIcon->show();
    WriteLog("tray icon added");
    return;
  }
  // At login the panel may come after us; a platform without windows never gets one.
  if (m_options.trayWaitMs > 0 && QGuiApplication::platformName() != QLatin1String("offscreen"))
    WaitForTray(m_options.trayWaitMs);
  else
    ShowWithoutTray();
}

void CBrisk7ServerDlg::WaitForTray(int remainingMs) {
  QTimer::singleShot(kTrayPollMs, this, [this, remainingMs] {
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
      const int mode = m_trayMode;
      AddTrayIcon();
      SetTrayMode(mode);
    } else if (remainingMs > kTrayPollMs) {
      WaitForTray(remainingMs - kTrayPollMs);
    } else {
      ShowWithoutTray();
    }
  });
}

void CBrisk7ServerDlg::ShowWithoutTray() {
  WriteLog("no system tray: the window is shown");
  m_noTray = true;
  show();
}

void CBrisk7ServerDlg::SetTrayMode(int mode) {
  QString icon = QStringLiteral("brisk-netservice");
  if (mode == 1) {
    icon = QStringLiteral("brisk-netservice-usb");
    m_trayTip = QStringLiteral("读卡服务(USB模式)");
  } else if (mode == 2) {
    icon = QStringLiteral("brisk-netservice-cat1");
    m_trayTip = QStringLiteral("读卡服务(Cat1模式)");
  } else {
    m_trayTip = QStringLiteral("读卡服务");
  }
  m_trayMode = (mode == 1 || mode == 2) ? mode : 0;
  if (m_trayIcon) {
    m_trayIcon->setIcon(LoadIcon(icon));
    m_trayIcon->setToolTip(m_trayTip);
  }
  emit stateChanged();
}

void CBrisk7ServerDlg::contextMenuEvent(QContextMenuEvent* event) {
  // Without a tray the window is the only way in: it offers the tray's commands.
  if (m_noTray) CommandMenu()->exec(event->globalPos());
}

void CBrisk7ServerDlg::OnShowWindow() { show(); }

}  // namespace brisk::app
