#pragma once
// brisk-ctl's status command and what it says when the program cannot be asked.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QStringList>

namespace brisk::tools {

// Registers the bus's own value types on this thread before any connection exists: the bus
// thread registering them lazily while a reply is read races with this one, and the toolkit
// then prints "Trying to construct an instance of an invalid type".
void RegisterBusTypes();

// A failed call in a person's words: not running, not answering (a hung program, or something
// else holding the name), or the bus's own message for anything else.
QString CallFailureText(const QDBusMessage& reply, const char* method);

// "status [--json]": the status byte of op 3 on the first line, then NAME=value lines; with
// --json one object {"running", "status", "properties"} (and "error" when it failed). Exits 1
// when the program could not be asked.
int RunStatus(QDBusConnection& bus, bool json);
// The order in which status prints the properties: those of the first version by name, then
// the upgrade's state and progress and the platform's address, those present.
QStringList StatusOrder(QStringList names);
// The command line's "status" and its arguments: 64 on a bad one.
int RunStatusCommand(QDBusConnection& bus, int argc, char** argv);

}  // namespace brisk::tools
