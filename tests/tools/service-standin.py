#!/usr/bin/python3
"""A stand-in for BriskNetService on the session bus, with the properties given as NAME=TYPE:VALUE
(TYPE one of s, u, b, i): another version of the program, as brisk-ctl meets it."""
import sys

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

INTERFACE = "net.brisk.NetService1"
TYPES = {
    "s": dbus.String,
    "u": lambda v: dbus.UInt32(int(v)),
    "i": lambda v: dbus.Int32(int(v)),
    "b": lambda v: dbus.Boolean(v == "true"),
}


class Service(dbus.service.Object):
    def __init__(self, bus, properties):
        super().__init__(bus, "/net/brisk/NetService")
        self.properties = properties

    @dbus.service.method(INTERFACE, in_signature="ii", out_signature="i")
    def ServiceControl(self, operation, argument):
        return 1

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        return dbus.Dictionary(self.properties if interface == INTERFACE else {}, signature="sv")

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        if interface != INTERFACE or name not in self.properties:
            raise dbus.exceptions.DBusException(
                "no such property", name="org.freedesktop.DBus.Error.UnknownProperty")
        return self.properties[name]


def main():
    properties = {}
    for arg in sys.argv[1:]:
        name, typed = arg.split("=", 1)
        kind, value = typed.split(":", 1)
        properties[name] = TYPES[kind](value)
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    service = Service(bus, properties)
    name = dbus.service.BusName("net.brisk.NetService", bus)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
