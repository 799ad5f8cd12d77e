#!/usr/bin/python3
"""A stand-in for the desktop's notification service on the session bus: every Notify call is
appended to the file named by the first argument as one JSON object; "ready" on standard output
once the name is owned."""
import json
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, out):
        super().__init__(bus, "/org/freedesktop/Notifications")
        self.out = out
        self.next_id = 1

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        with open(self.out, "a", encoding="utf-8") as f:
            f.write(json.dumps({
                "app": str(app),
                "replaces": int(replaces),
                "summary": str(summary),
                "body": str(body),
                "timeout": int(timeout),
                "desktop-entry": str(hints.get("desktop-entry", "")),
            }, ensure_ascii=False) + "\n")
        self.next_id += 1
        return self.next_id - 1


def main():
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    service = Notifications(bus, sys.argv[1])
    print("ready", flush=True)
    GLib.MainLoop().run()
    del name, service


if __name__ == "__main__":
    main()
