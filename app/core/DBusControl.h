#pragma once
// The object behind /net/brisk/NetService: the generated adaptor reads its properties and
// calls its slots; it forwards to the link controller and announces property changes.
#include <QDBusContext>
#include <QObject>
#include <QVariantMap>

namespace brisk::app {

class LinkController;

inline constexpr const char* kBusName = "net.brisk.NetService";
inline constexpr const char* kObjectPath = "/net/brisk/NetService";
inline constexpr const char* kInterfaceName = "net.brisk.NetService1";

class DBusControl : public QObject, protected QDBusContext {
  Q_OBJECT
  Q_PROPERTY(bool ServiceEnabled READ ServiceEnabled)
  Q_PROPERTY(bool LinkUp READ LinkUp)
  Q_PROPERTY(QString PortLine READ PortLine)
  Q_PROPERTY(bool ComOpen READ ComOpen)
  Q_PROPERTY(bool ServerConnected READ ServerConnected)
  Q_PROPERTY(uint ComBytesRead READ ComBytesRead)
  Q_PROPERTY(uint ComBytesWritten READ ComBytesWritten)
  Q_PROPERTY(uint ServerBytesReceived READ ServerBytesReceived)
  Q_PROPERTY(uint ServerBytesSent READ ServerBytesSent)
  Q_PROPERTY(int NetMode READ NetMode)
  Q_PROPERTY(QString UpgradeState READ UpgradeState)
  Q_PROPERTY(uint UpgradeProgress READ UpgradeProgress)
  Q_PROPERTY(QString PlatformAddress READ PlatformAddress)
 public:
  explicit DBusControl(LinkController& controller);
  // Registers the object on the session bus; false when that failed (logged).
  bool Register();
  // There is no window: Show and Activate answer with an error, so that a tray program that
  // a person starts says that a copy runs already.
  void SetWindowless() { m_windowless = true; }

  bool ServiceEnabled() const;
  bool LinkUp() const;
  QString PortLine() const;
  bool ComOpen() const;
  bool ServerConnected() const;
  uint ComBytesRead() const;
  uint ComBytesWritten() const;
  uint ServerBytesReceived() const;
  uint ServerBytesSent() const;
  int NetMode() const;
  QString UpgradeState() const;
  uint UpgradeProgress() const;
  // "host:port" as the reader last told it; empty before that.
  QString PlatformAddress() const;

 signals:
  // Relayed by the adaptor as the bus signals of the same names.
  void Notice(const QString& text);
  void UpgradeFinished(bool ok, const QString& cause);

 public slots:
  // Answered once the request has had its turn at the reader (the reply is delayed; the bus
  // meanwhile serves everything else).
  int ServiceControl(int operation, int argument);
  // The service switch, as the start and stop buttons; answered once its start or stop is
  // through.
  void SetServiceEnabled(bool enabled);
  void Show();
  void Activate(const QString& activation_token);
  // Sends PropertiesChanged with the values that differ from the last announcement.
  void Publish();

 private:
  QVariantMap Snapshot() const;

  LinkController& m_controller;
  QVariantMap m_published;
  bool m_registered = false;
  bool m_windowless = false;
};

}  // namespace brisk::app
