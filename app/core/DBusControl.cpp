#include "app/core/DBusControl.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMetaProperty>

#include "app/core/LinkController.h"
#include "link/Brisk7Service.h"
#include "log/Log.h"
#include "netserviceadaptor.h"

namespace brisk::app {

DBusControl::DBusControl(LinkController& controller)
    : QObject(&controller), m_controller(controller) {
  new NetService1Adaptor(this);
  connect(&controller, &LinkController::stateChanged, this, [this] {
    // Every step of an upgrade is announced; other changes are gathered into one announcement.
    if (m_published.value(QStringLiteral("UpgradeState")).toString() !=
        m_controller.State().upgradeState)
      Publish();
    else
      QMetaObject::invokeMethod(this, &DBusControl::Publish, Qt::QueuedConnection);
  });
  connect(&controller, &LinkController::notice, this, &DBusControl::Notice);
  // After the state it ended in has been announced.
  connect(
      &controller, &LinkController::upgradeFinished, this,
      [this](bool ok, const QString& cause) {
        Publish();
        emit UpgradeFinished(ok, cause);
      },
      Qt::QueuedConnection);
}

bool DBusControl::Register() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  m_registered = bus.registerObject(kObjectPath, this);
  if (!m_registered) WriteLog("D-Bus control object not registered");
  m_published = Snapshot();
  return m_registered;
}

bool DBusControl::ServiceEnabled() const { return m_controller.State().serviceEnabled; }
bool DBusControl::LinkUp() const { return m_controller.State().linkUp; }
QString DBusControl::PortLine() const { return m_controller.State().portLine; }
bool DBusControl::ComOpen() const { return m_controller.State().comOpen; }
bool DBusControl::ServerConnected() const { return m_controller.Service().IsServerConnected(); }
uint DBusControl::ComBytesRead() const { return m_controller.Service().ComBytesRead(); }
uint DBusControl::ComBytesWritten() const { return m_controller.Service().ComBytesWritten(); }
uint DBusControl::ServerBytesReceived() const {
  return m_controller.Service().ServerBytesReceived();
}
uint DBusControl::ServerBytesSent() const { return m_controller.Service().ServerBytesSent(); }
int DBusControl::NetMode() const { return m_controller.State().trayMode; }
QString DBusControl::UpgradeState() const { return m_controller.State().upgradeState; }
uint DBusControl::UpgradeProgress() const { return m_controller.State().upgradeProgress; }
QString DBusControl::PlatformAddress() const {
  const auto& platform = m_controller.LastPlatform();
  if (!platform) return {};
  return QStringLiteral("%1:%2").arg(QString::fromStdString(platform->host)).arg(platform->port);
}

int DBusControl::ServiceControl(int operation, int argument) {
  if (!calledFromDBus()) return 0;
  setDelayedReply(true);
  QDBusMessage request = message();
  QDBusConnection bus = connection();
  m_controller.OnServiceControl(operation, argument, [this, request, bus](int result) mutable {
    Publish();
    bus.send(request.createReply(result));
  });
  return 0;
}

void DBusControl::SetServiceEnabled(bool enabled) {
  if (!calledFromDBus()) return;
  setDelayedReply(true);
  QDBusMessage request = message();
  QDBusConnection bus = connection();
  m_controller.SetServiceEnabled(enabled, [this, request, bus]() mutable {
    Publish();
    bus.send(request.createReply());
  });
}

void DBusControl::Show() { Activate(QString()); }
void DBusControl::Activate(const QString& activation_token) {
  if (m_windowless) {
    if (calledFromDBus())
      sendErrorReply(QStringLiteral("net.brisk.NetService1.Error.NoWindow"),
                     QStringLiteral("brisknetd runs in this session: it has no window"));
    return;
  }
  emit m_controller.showRequested(activation_token);
}

QVariantMap DBusControl::Snapshot() const {
  QVariantMap values;
  const QMetaObject* meta = metaObject();
  for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
    const QMetaProperty p = meta->property(i);
    values.insert(QString::fromLatin1(p.name()), p.read(this));
  }
  return values;
}

void DBusControl::Publish() {
  if (!m_registered) return;
  const QVariantMap now = Snapshot();
  QVariantMap changed;
  for (auto it = now.cbegin(); it != now.cend(); ++it)
    if (m_published.value(it.key()) != it.value()) changed.insert(it.key(), it.value());
  if (changed.isEmpty()) return;
  m_published = now;
  QDBusMessage signal =
      QDBusMessage::createSignal(kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                                 QStringLiteral("PropertiesChanged"));
  signal << QString::fromLatin1(kInterfaceName) << changed << QStringList();
  QDBusConnection::sessionBus().send(signal);
}

}  // namespace brisk::app
