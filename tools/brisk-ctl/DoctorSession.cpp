// brisk-ctl doctor: the running program and the session around it, over the buses.
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QFile>
#include <QFileInfo>
#include <QVariantMap>
#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "Doctor.h"
#include "Status.h"
#include "platform/Tcp.h"

namespace brisk::tools {

namespace {

constexpr const char* kBusName = "net.brisk.NetService";
constexpr const char* kObjectPath = "/net/brisk/NetService";
constexpr const char* kInterfaceName = "net.brisk.NetService1";
constexpr int kAskMs = 5000;            // properties are answered at once by a live program
constexpr int kPlatformLimitMs = 3000;  // lookup and connect together
constexpr const char* kStartFix =
    "systemctl --user enable --now brisknetservice (a seat without a desktop), or start "
    "BriskNetService from the desktop's menu";

std::string Text(const QString& text) { return text.toStdString(); }

// Which program holds the name: its file (/proc/PID/exe); where that is not ours (another
// user's process, or one run through a wrapper), the name it was started by (argv[0]).
struct Holder {
  uint pid = 0;
  QString path;
  std::string kind;  // "tray", "headless" or ""
};

Holder WhoHolds(QDBusConnection& bus) {
  Holder holder;
  const QDBusReply<uint> pid = bus.interface()->servicePid(QString::fromLatin1(kBusName));
  if (!pid.isValid()) return holder;
  holder.pid = pid.value();
  const QString proc = QStringLiteral("/proc/%1/").arg(holder.pid);
  const auto kindOf = [](const QString& path) -> std::string {
    const QString name = QFileInfo(path).fileName();
    if (name == QLatin1String("BriskNetService")) return "tray";
    if (name == QLatin1String("brisknetd")) return "headless";
    return "";
  };
  holder.path = QFileInfo(proc + QStringLiteral("exe")).symLinkTarget();
  holder.kind = kindOf(holder.path);
  if (holder.kind.empty()) {
    QFile cmdline(proc + QStringLiteral("cmdline"));
    if (cmdline.open(QIODevice::ReadOnly)) {
      const QString first = QString::fromLocal8Bit(cmdline.readAll().split('\0').value(0));
      if (!kindOf(first).empty() || holder.path.isEmpty()) holder.path = first;
      holder.kind = kindOf(first);
    }
  }
  return holder;
}

DoctorCheck PlatformCheck(const Holder& holder, const QVariantMap& properties, bool answered) {
  DoctorCheck check{"platform", true, "", ""};
  if (!answered) {
    check.detail = "not checked: no running program to say where it is";
    return check;
  }
  if (!properties.contains(QStringLiteral("PlatformAddress"))) {
    check.detail = "not checked: the running program (" + Text(holder.path) +
                   ") is an older version that does not say where it is";
    return check;
  }
  const std::string address = Text(properties.value(QStringLiteral("PlatformAddress")).toString());
  if (address.empty()) {
    check.detail = "not known yet: the program has not read it from the reader";
    return check;
  }
  const size_t colon = address.rfind(':');
  const std::string host = colon == std::string::npos ? address : address.substr(0, colon);
  const int port = colon == std::string::npos ? 0 : std::atoi(address.c_str() + colon + 1);
  const std::string fix =
      "check the platform address that the reader holds (brisk-reader platform get) and that "
      "this PC reaches it: the platform server runs, and no firewall or proxy stands between";
  check.ok = false;
  check.fix = fix;
  if (host.empty() || port <= 0 || port > 65535) {
    check.detail = "the reader's platform address \"" + address + "\" is no host:port";
    return check;
  }
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> addresses;
  if (!platform::ResolveIPv4(host, addresses, -1, kPlatformLimitMs) || addresses.empty()) {
    check.detail = host + " does not resolve to an IPv4 address";
    return check;
  }
  const auto used = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
  const int left = std::max<int>(1, kPlatformLimitMs - static_cast<int>(used));
  const int fd = platform::TcpCreate();
  const bool connected =
      fd >= 0 && platform::TcpConnect(fd, addresses[0].c_str(), static_cast<uint32_t>(port), left);
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
  if (fd >= 0) platform::TcpClose(fd);
  const std::string where = address + (host == addresses[0] ? "" : " (" + addresses[0] + ")");
  if (connected) {
    check.ok = true;
    check.fix.clear();
    check.detail = where + " accepts a connection (" + std::to_string(spent) + " ms)";
  } else if (spent + 50 < kPlatformLimitMs) {
    check.detail = where + " refuses the connection or cannot be reached";
  } else {
    check.detail = where + " does not answer within 3 s";
  }
  return check;
}

DoctorCheck LogindCheck() {
  DoctorCheck check{"logind", false, "", ""};
  QDBusConnection system = QDBusConnection::systemBus();
  QString why;
  if (!system.isConnected()) {
    why = QStringLiteral("no system bus: ") + system.lastError().message();
  } else {
    const QDBusMessage reply = system.call(
        QDBusMessage::createMethodCall(
            QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
            QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("ListSessions")),
        QDBus::Block, kAskMs);
    if (reply.type() == QDBusMessage::ReplyMessage) {
      check.ok = true;
      check.detail = "org.freedesktop.login1 answers on the system bus";
      return check;
    }
    why = reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
  }
  check.detail = "logind does not answer (" + Text(why) +
                 "): the program can neither hold off sleep nor see it coming";
  check.fix = "start it: sudo systemctl start systemd-logind (a seat needs systemd running)";
  return check;
}

DoctorCheck TrayHostCheck(QDBusConnection& bus) {
  DoctorCheck check{"tray host", false, "", ""};
  const QDBusReply<bool> there =
      bus.interface()->isServiceRegistered(QStringLiteral("org.kde.StatusNotifierWatcher"));
  if (there.isValid() && there.value()) {
    check.ok = true;
    check.detail = "a StatusNotifierItem host is on the session bus";
    return check;
  }
  check.detail =
      "no StatusNotifierItem host on the session bus: the icon shows only in an XEmbed tray, "
      "and without one the window opens after 10 s";
  check.fix =
      "GNOME: sudo apt install gnome-shell-extension-appindicator and enable it; a seat without "
      "a desktop: run the headless program instead (systemctl --user enable --now "
      "brisknetservice)";
  return check;
}

}  // namespace

std::vector<DoctorCheck> SessionChecks() {
  std::vector<DoctorCheck> checks;
  DoctorCheck program{"program", false, "", ""};
  QDBusConnection bus = QDBusConnection::sessionBus();
  Holder holder;
  QVariantMap properties;
  bool answered = false;
  if (!bus.isConnected()) {
    program.detail = "no session bus (" + Text(bus.lastError().message()) + ")";
    program.fix =
        "run brisk-ctl in the person's session; for a lingering user's service: "
        "XDG_RUNTIME_DIR=/run/user/$(id -u) brisk-ctl doctor";
  } else if ((holder = WhoHolds(bus)).pid == 0) {
    program.detail = "BriskNetService is not running";
    program.fix = kStartFix;
  } else {
    QDBusMessage ask = QDBusMessage::createMethodCall(
        QString::fromLatin1(kBusName), QString::fromLatin1(kObjectPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    ask.setArguments({QString::fromLatin1(kInterfaceName)});
    const QDBusMessage reply = bus.call(ask, QDBus::Block, kAskMs);
    const std::string which = holder.kind == "tray"       ? "the tray program"
                              : holder.kind == "headless" ? "the headless program"
                                                          : "another program";
    const std::string who = " (" + Text(holder.path) + ", pid " + std::to_string(holder.pid) + ")";
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QLatin1String("a{sv}")) {
      program.detail =
          which + who + " holds " + kBusName + ": " + Text(CallFailureText(reply, "GetAll"));
      program.fix = "end it (kill " + std::to_string(holder.pid) + "), then " + kStartFix;
    } else if (holder.kind.empty()) {
      program.detail = which + who + " holds " + kBusName;
      program.fix = "end it (kill " + std::to_string(holder.pid) + "), then " + kStartFix;
    } else {
      answered = true;
      properties = qdbus_cast<QVariantMap>(reply.arguments().value(0));
      program.ok = true;
      program.detail = which + " runs" + who;
      if (!properties.value(QStringLiteral("ServiceEnabled"), true).toBool())
        program.detail += "; its service is switched off (brisk-ctl enable)";
    }
  }
  checks.push_back(program);
  checks.push_back(PlatformCheck(holder, properties, answered));
  checks.push_back(LogindCheck());
  // Only the tray program needs a tray.
  if (answered && holder.kind == "tray") checks.push_back(TrayHostCheck(bus));
  return checks;
}

}  // namespace brisk::tools
