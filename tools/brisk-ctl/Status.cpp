#include "Status.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusObjectPath>
#include <QDBusSignature>
#include <QDBusUnixFileDescriptor>
#include <QDBusVariant>
#include <QMetaType>
#include <QVariantMap>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

namespace brisk::tools {

namespace {

constexpr const char* kBusName = "net.brisk.NetService";
constexpr const char* kObjectPath = "/net/brisk/NetService";
constexpr const char* kInterfaceName = "net.brisk.NetService1";
constexpr int kCallTimeoutMs = 30000;  // op 3 waits for the reader's answer

struct Answer {
  bool ok = false;
  QDBusMessage reply;
  QString error;
};

// The reply is read only when it has the form asked for: another program, or another version,
// holding the name must not make the toolkit read a value that is not there.
Answer Ask(QDBusConnection& bus, const char* interface, const char* method,
           const QVariantList& args, const char* signature) {
  QDBusMessage call = QDBusMessage::createMethodCall(kBusName, kObjectPath, interface, method);
  call.setArguments(args);
  Answer answer;
  answer.reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
  if (answer.reply.type() != QDBusMessage::ReplyMessage)
    answer.error = CallFailureText(answer.reply, method);
  else if (answer.reply.signature() != QLatin1String(signature))
    answer.error = QStringLiteral(
                       "BriskNetService answered %1 in a form brisk-ctl does not know "
                       "(\"%2\"); is it another version?")
                       .arg(QLatin1String(method), answer.reply.signature());
  else
    answer.ok = true;
  return answer;
}

nlohmann::json ToJson(const QVariant& value) {
  switch (value.metaType().id()) {
    case QMetaType::Bool:
      return value.toBool();
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
      return value.toLongLong();
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::UChar:
    case QMetaType::ULong:
    case QMetaType::ULongLong:
      return value.toULongLong();
    case QMetaType::Double:
      return value.toDouble();
    default:
      return value.toString().toStdString();
  }
}

// Properties that later versions added, in this order after the others: scripts that read
// the lines by position keep their places. An older program simply lacks them.
constexpr const char* kLaterProperties[] = {"UpgradeState", "UpgradeProgress", "PlatformAddress"};

}  // namespace

QStringList StatusOrder(QStringList names) {
  QStringList later;
  for (const char* name : kLaterProperties)
    if (names.removeAll(QLatin1String(name)) > 0) later << QLatin1String(name);
  names.sort();
  return names + later;
}

void RegisterBusTypes() {
  qRegisterMetaType<QDBusArgument>();
  qRegisterMetaType<QDBusVariant>();
  qRegisterMetaType<QDBusObjectPath>();
  qRegisterMetaType<QDBusSignature>();
  qRegisterMetaType<QDBusUnixFileDescriptor>();
  qRegisterMetaType<QDBusMessage>();
  qRegisterMetaType<QDBusError>();
}

QString CallFailureText(const QDBusMessage& reply, const char* method) {
  const QString error = reply.errorName();
  // The bus's own words ("not provided by any .service files") mean nothing to a user.
  if (error == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
      error == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
    return QStringLiteral("BriskNetService is not running");
  if (error == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
      error == QLatin1String("org.freedesktop.DBus.Error.Timeout") ||
      error == QLatin1String("org.freedesktop.DBus.Error.TimedOut"))
    return QStringLiteral("BriskNetService does not answer (no reply within %1 s)")
        .arg(kCallTimeoutMs / 1000);
  if (error == QLatin1String("org.freedesktop.DBus.Error.UnknownObject") ||
      error == QLatin1String("org.freedesktop.DBus.Error.UnknownInterface") ||
      error == QLatin1String("org.freedesktop.DBus.Error.UnknownMethod"))
    return QStringLiteral("the program that holds %1 does not answer as BriskNetService")
        .arg(QLatin1String(kBusName));
  return QStringLiteral("%1: %2").arg(QLatin1String(method), reply.errorMessage());
}

int RunStatusCommand(QDBusConnection& bus, int argc, char** argv) {
  const bool json = argc == 3 && std::strcmp(argv[2], "--json") == 0;
  if (argc > 3 || (argc == 3 && !json)) {
    std::fputs("usage: brisk-ctl status [--json]\n", stderr);
    return 64;
  }
  if (!bus.isConnected()) {
    std::fprintf(stderr, "brisk-ctl: no session bus: %s\n",
                 bus.lastError().message().toUtf8().constData());
    return 1;
  }
  return RunStatus(bus, json);
}

int RunStatus(QDBusConnection& bus, bool json) {
  nlohmann::json out = nlohmann::json::object();
  const auto fail = [&](const QString& why, bool running) {
    if (json) {
      out["running"] = running;
      out["error"] = why.toStdString();
      std::printf("%s\n",
                  out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    }
    std::fprintf(stderr, "brisk-ctl: %s\n", why.toUtf8().constData());
    return 1;
  };
  const Answer status = Ask(bus, kInterfaceName, "ServiceControl", {3, 0}, "i");
  if (!status.ok) return fail(status.error, false);
  const int byte = status.reply.arguments().value(0).toInt();
  // Scripts read the first line: it comes out before the properties are asked for.
  if (!json) {
    std::printf("%d\n", byte);
    std::fflush(stdout);
  }
  const Answer all = Ask(bus, "org.freedesktop.DBus.Properties", "GetAll",
                         {QString::fromLatin1(kInterfaceName)}, "a{sv}");
  if (!all.ok) return fail(all.error, true);
  const QVariantMap values = qdbus_cast<QVariantMap>(all.reply.arguments().value(0));
  nlohmann::json properties = nlohmann::json::object();
  for (const QString& name : StatusOrder(values.keys())) {
    const QVariant& value = values[name];
    if (json)
      properties[name.toStdString()] = ToJson(value);
    else
      std::printf("%s=%s\n", name.toUtf8().constData(), value.toString().toUtf8().constData());
  }
  if (json) {
    out["running"] = true;
    out["status"] = byte;
    out["properties"] = std::move(properties);
    std::printf("%s\n", out.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
  }
  return 0;
}

}  // namespace brisk::tools
