#pragma once
// Whether the desktop offers a tray, found without asking Qt: Qt decides once, at its first
// question, whether a StatusNotifierItem host is there and never looks again, so a host that
// comes later (a panel that starts after the program at login) would never be used.
#include <QObject>

class QTimer;

namespace brisk::app {

class TrayHostWatcher : public QObject {
  Q_OBJECT
 public:
  explicit TrayHostWatcher(QObject* parent);
  // A StatusNotifierItem host (any platform) or an XEmbed tray (X11) is there now.
  static bool Present();
  // Watches until a tray is there, then emits appeared() once.
  void Watch();

 signals:
  void appeared();

 private slots:
  void Check();

 private:
  void Appeared();
  QTimer* m_poll = nullptr;
  bool m_watching = false;
};

}  // namespace brisk::app
