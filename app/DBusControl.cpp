#include "app/DBusControl.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMetaProperty>

#include "app/Brisk7ServerDlg.h"
#include "log/Log.h"
#include "netserviceadaptor.h"

namespace brisk::app {

DBusControl::DBusControl(CBrisk7ServerDlg& window) : QObject(&window), m_window(window) {
  new NetService1Adaptor(this);
  connect(&window, &CBrisk7ServerDlg::stateChanged, this, &DBusControl::Publish,
          Qt::QueuedConnection);
}

bool DBusControl::Register() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  m_registered = bus.registerObject(kObjectPath, this);
  if (!m_registered) WriteLog("D-Bus control object not registered");
  m_published = Snapshot();
  return m_registered;
}

bool DBusControl::ServiceEnabled() const { return m_window.ServiceEnabled(); }
bool DBusControl::LinkUp() const { return m_window.LinkUp(); }
QString DBusControl::PortLine() const { return m_window.PortLine(); }
bool DBusControl::ComOpen() const { return m_window.ComOpen(); }
bool DBusControl::ServerConnected() const { return m_window.Service().IsServerConnected(); }
uint DBusControl::ComBytesRead() const { return m_window.Service().ComBytesRead(); }
uint DBusControl::ComBytesWritten() const { return m_window.Service().ComBytesWritten(); }
uint DBusControl::ServerBytesReceived() const { return m_window.Service().ServerBytesReceived(); }
uint DBusControl::ServerBytesSent() const { return m_window.Service().ServerBytesSent(); }
int DBusControl::NetMode() const { return m_window.TrayMode(); }

int DBusControl::ServiceControl(int operation, int argument) {
  if (!calledFromDBus()) return 0;
  setDelayedReply(true);
  QDBusMessage request = message();
  QDBusConnection bus = connection();
  m_window.OnServiceControl(operation, argument, [this, request, bus](int result) mutable {
    Publish();
    bus.send(request.createReply(result));
  });
  return 0;
}

void DBusControl::Show() { m_window.OnShowWindow(); }
void DBusControl::Activate(const QString& activation_token) {
  m_window.ShowAndActivate(activation_token);
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
