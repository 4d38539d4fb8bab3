#include "app/TrayHost.h"

#include <xcb/xcb.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimer>
#include <cstdlib>
#include <cstring>

namespace brisk::app {
namespace {

constexpr const char* kWatcherName = "org.kde.StatusNotifierWatcher";
constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
// Only the XEmbed tray has to be polled: the watcher's arrival is announced on the bus.
constexpr int kXEmbedPollMs = 1000;
constexpr int kBusCallTimeoutMs = 500;

bool StatusNotifierHostPresent() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  const QString watcher = QString::fromLatin1(kWatcherName);
  if (!bus.isConnected() || !bus.interface()->isServiceRegistered(watcher)) return false;
  QDBusMessage get = QDBusMessage::createMethodCall(
      watcher, QString::fromLatin1(kWatcherPath), QStringLiteral("org.freedesktop.DBus.Properties"),
      QStringLiteral("Get"));
  get << watcher << QStringLiteral("IsStatusNotifierHostRegistered");
  const QDBusMessage reply = bus.call(get, QDBus::Block, kBusCallTimeoutMs);
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
         reply.arguments().first().value<QDBusVariant>().variant().toBool();
}

// The screen of DISPLAY (":0.1" is screen 1), whose tray selection counts.
int DisplayScreen() {
  const char* display = std::getenv("DISPLAY");
  const char* colon = display ? std::strrchr(display, ':') : nullptr;
  const char* dot = colon ? std::strchr(colon, '.') : nullptr;
  return dot ? std::atoi(dot + 1) : 0;
}

bool XEmbedTrayPresent() {
  auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  xcb_connection_t* connection = x11 ? x11->connection() : nullptr;
  if (!connection) return false;
  const QByteArray selection = "_NET_SYSTEM_TRAY_S" + QByteArray::number(DisplayScreen());
  xcb_intern_atom_reply_t* atom = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 1, selection.size(), selection.constData()), nullptr);
  if (!atom) return false;
  const xcb_atom_t name = atom->atom;
  std::free(atom);
  if (name == XCB_ATOM_NONE) return false;
  xcb_get_selection_owner_reply_t* owner =
      xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, name), nullptr);
  const bool present = owner && owner->owner != XCB_WINDOW_NONE;
  std::free(owner);
  return present;
}

}  // namespace

TrayHostWatcher::TrayHostWatcher(QObject* parent) : QObject(parent) {}

bool TrayHostWatcher::Present() { return StatusNotifierHostPresent() || XEmbedTrayPresent(); }

void TrayHostWatcher::Watch() {
  if (m_watching) return;
  m_watching = true;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (bus.isConnected()) {
    auto* watcher = new QDBusServiceWatcher(QString::fromLatin1(kWatcherName), bus,
                                            QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayHostWatcher::Check);
    bus.connect(QString::fromLatin1(kWatcherName), QString::fromLatin1(kWatcherPath),
                QString::fromLatin1(kWatcherName), QStringLiteral("StatusNotifierHostRegistered"),
                this, SLOT(Check()));
  }
  if (qApp->nativeInterface<QNativeInterface::QX11Application>()) {
    m_poll = new QTimer(this);
    // Only the selection is polled: a watcher that hangs must not stall the window each second.
    connect(m_poll, &QTimer::timeout, this, [this] {
      if (XEmbedTrayPresent()) Appeared();
    });
    m_poll->start(kXEmbedPollMs);
  }
  // A watcher or host that came between the caller's look and the watch above.
  QTimer::singleShot(0, this, &TrayHostWatcher::Check);
}

void TrayHostWatcher::Check() {
  if (m_watching && Present()) Appeared();
}

void TrayHostWatcher::Appeared() {
  if (!m_watching) return;
  m_watching = false;
  if (m_poll) m_poll->stop();
  QDBusConnection::sessionBus().disconnect(
      QString::fromLatin1(kWatcherName), QString::fromLatin1(kWatcherPath),
      QString::fromLatin1(kWatcherName), QStringLiteral("StatusNotifierHostRegistered"), this,
      SLOT(Check()));
  emit appeared();
}

}  // namespace brisk::app
