// brisk-ctl: controls the running BriskNetService over the session bus.
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVariant>
#include <QVariantMap>
#include <cstdio>
#include <cstring>
#include <string>

#include "Doctor.h"
#include "Status.h"

namespace brisk::tools {
namespace {

constexpr const char* kBusName = "net.brisk.NetService";
constexpr const char* kObjectPath = "/net/brisk/NetService";
constexpr const char* kInterfaceName = "net.brisk.NetService1";
constexpr int kCallTimeoutMs = 30000;  // a start waits for the reader's answers

const char kUsage[] =
    "usage: brisk-ctl start | stop | enable | disable | mode 1|2 | status [--json] | show\n"
    "       brisk-ctl doctor [--json] [--root DIR]\n"
    "       brisk-ctl --version | --help\n"
    "  start     link the reader now (prints 1 when it started, else 0 and exits 1); the\n"
    "            service switch is left as it is\n"
    "  stop      switch the service off and let the reader go (prints 1)\n"
    "  enable    switch the service on, as the window's start button: the reader is linked,\n"
    "            and linked again by itself whenever it comes back\n"
    "  disable   switch the service off, as the window's stop button\n"
    "  mode N    network mode 1 (PC network) or 2 (Cat1): 1 accepted, 0 refused (exits 1)\n"
    "  status    the reader's connection status byte (-1: no answer), then the\n"
    "            service's properties, the upgrade's state and progress and the platform's\n"
    "            address last (--json: one JSON object)\n"
    "  show      show the settings window\n"
    "  doctor    check the seat (udev rules, ModemManager, node access, brisknet, a reader\n"
    "            in DFU mode, the settings files and the chosen port) and the session (the\n"
    "            program and its kind, its platform, logind, a tray host); exits with the\n"
    "            number of problems\n"
    "Exits 1 when BriskNetService is not running or the call failed, 64 on a bad command.\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 64;
}

bool Call(QDBusConnection& bus, const char* interface, const char* method, const QVariantList& args,
          QDBusMessage* reply) {
  QDBusMessage call = QDBusMessage::createMethodCall(kBusName, kObjectPath, interface, method);
  call.setArguments(args);
  *reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
  if (reply->type() != QDBusMessage::ReplyMessage) {
    std::fprintf(stderr, "brisk-ctl: %s\n", CallFailureText(*reply, method).toUtf8().constData());
    return false;
  }
  return true;
}

// mustSucceed: an answer other than 1 (not started, mode refused) ends with status 1.
int ServiceControl(QDBusConnection& bus, int operation, int argument, bool mustSucceed) {
  QDBusMessage reply;
  if (!Call(bus, kInterfaceName, "ServiceControl", {operation, argument}, &reply)) return 1;
  const int result = reply.arguments().value(0).toInt();
  std::printf("%d\n", result);
  return mustSucceed && result != 1 ? 1 : 0;
}

int Run(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string command = argv[1];
  if (argc == 2 && (command == "--help" || command == "-h")) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && command == "--version") {
    std::printf("brisk-ctl %s\n", BRISK_VERSION);
    return 0;
  }
  if (command == "doctor") return RunDoctorCommand(argc, argv);
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (command == "status") return RunStatusCommand(bus, argc, argv);
  const bool known = command == "start" || command == "stop" || command == "status" ||
                     command == "show" || command == "mode" || command == "enable" ||
                     command == "disable";
  if (!known || (command == "mode") != (argc == 3) || argc > 3) return Usage();
  int mode = 0;
  if (command == "mode") {
    if (std::strcmp(argv[2], "1") != 0 && std::strcmp(argv[2], "2") != 0) return Usage();
    mode = argv[2][0] - '0';
  }
  if (!bus.isConnected()) {
    std::fprintf(stderr, "brisk-ctl: no session bus: %s\n",
                 bus.lastError().message().toUtf8().constData());
    return 1;
  }
  if (command == "start") return ServiceControl(bus, 0, 0, true);
  if (command == "stop") return ServiceControl(bus, 1, 0, false);
  if (command == "mode") return ServiceControl(bus, 2, mode, true);
  if (command == "enable" || command == "disable") {
    QDBusMessage reply;
    return Call(bus, kInterfaceName, "SetServiceEnabled", {command == "enable"}, &reply) ? 0 : 1;
  }
  // Passes on the focus a launcher gave this command (Wayland).
  QDBusMessage reply;
  return Call(bus, kInterfaceName, "Activate", {qEnvironmentVariable("XDG_ACTIVATION_TOKEN")},
              &reply)
             ? 0
             : 1;
}

}  // namespace
}  // namespace brisk::tools

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  brisk::tools::RegisterBusTypes();
  return brisk::tools::Run(argc, argv);
}
