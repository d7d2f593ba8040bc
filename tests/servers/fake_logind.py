#!/usr/bin/python3
"""A stand-in for systemd-logind on a private message bus, for the tests of the exit control.

    fake_logind.py --bus ADDRESS --record FILE --control FILE [--exit-on-stdin-eof]

Owns org.freedesktop.login1 on the bus at ADDRESS (a bus the test started itself, never the system bus) and
serves the calls the program makes: on /org/freedesktop/login1 (org.freedesktop.login1.Manager) PowerOff(b),
Reboot(b), PowerOffWithFlags(t), RebootWithFlags(t), GetSession(s), GetSessionByPID(u), TerminateSession(s);
on the one session, SESSION_PATH, org.freedesktop.login1.Session.Terminate(). Nothing is ever carried out.

Arguments of the wrong type are refused by GDBus with org.freedesktop.DBus.Error.InvalidArgs, as logind
would. Every call that gets through becomes one JSON line in the record FILE, written before the answer:
    {"method", "interface", "path", "args", "interactive"}
where "interactive" is the message's ALLOW_INTERACTIVE_AUTHORIZATION header flag.

The control FILE, read again at every call, may hold
    "errors": {"Method": "error.Name", "*": "error.Name"}   answer that method (or every method) with
                                                            that D-Bus error instead

When ready, one JSON line goes to stdout: {"pid"}. Runs until SIGTERM, the bus goes away, or with
--exit-on-stdin-eof until stdin closes (the test process died).
"""

import argparse
import json
import os
import signal
import sys

from gi.repository import Gio, GLib

NAME = "org.freedesktop.login1"
MANAGER_PATH = "/org/freedesktop/login1"
SESSION_ID = "7"
SESSION_PATH = "/org/freedesktop/login1/session/_37"  # logind escapes the id "7" this way

INTERFACES = """
<node>
  <interface name="org.freedesktop.login1.Manager">
    <method name="PowerOff"><arg name="interactive" type="b" direction="in"/></method>
    <method name="Reboot"><arg name="interactive" type="b" direction="in"/></method>
    <method name="PowerOffWithFlags"><arg name="flags" type="t" direction="in"/></method>
    <method name="RebootWithFlags"><arg name="flags" type="t" direction="in"/></method>
    <method name="GetSession">
      <arg name="session_id" type="s" direction="in"/>
      <arg name="object_path" type="o" direction="out"/>
    </method>
    <method name="GetSessionByPID">
      <arg name="pid" type="u" direction="in"/>
      <arg name="object_path" type="o" direction="out"/>
    </method>
    <method name="TerminateSession"><arg name="session_id" type="s" direction="in"/></method>
  </interface>
  <interface name="org.freedesktop.login1.Session">
    <method name="Terminate"/>
  </interface>
</node>
"""


class FakeLogind:
    def __init__(self, record, control):
        self.record = record
        self.control_file = control

    def control(self):
        try:
            with open(self.control_file) as f:
                data = json.load(f)
            return data if isinstance(data, dict) else {}
        except (OSError, ValueError):
            return {}

    def write_record(self, entry):
        with open(self.record, "a") as f:
            f.write(json.dumps(entry) + "\n")
            f.flush()
            os.fsync(f.fileno())

    def on_call(self, connection, sender, path, interface, method, parameters, invocation):
        flags = invocation.get_message().get_flags()
        self.write_record({
            "method": method,
            "interface": interface,
            "path": path,
            "args": list(parameters.unpack()),
            "interactive": bool(flags & Gio.DBusMessageFlags.ALLOW_INTERACTIVE_AUTHORIZATION),
        })
        errors = self.control().get("errors", {})
        error = errors.get(method) or errors.get("*")
        if error:
            invocation.return_dbus_error(error, f"{method} refused by the test")
            return
        if method in ("GetSession", "GetSessionByPID"):
            known = method == "GetSessionByPID" or parameters.unpack()[0] in ("auto", "self", SESSION_ID)
            if not known:
                invocation.return_dbus_error("org.freedesktop.login1.NoSuchSession", "No such session")
                return
            invocation.return_value(GLib.Variant("(o)", (SESSION_PATH,)))
            return
        invocation.return_value(None)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--bus", required=True)
    parser.add_argument("--record", required=True)
    parser.add_argument("--control", required=True)
    parser.add_argument("--exit-on-stdin-eof", action="store_true")
    args = parser.parse_args()

    loop = GLib.MainLoop()
    fake = FakeLogind(args.record, args.control)
    connection = Gio.DBusConnection.new_for_address_sync(
        args.bus,
        Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION,
        None, None)
    connection.connect("closed", lambda *_: loop.quit())
    node = Gio.DBusNodeInfo.new_for_xml(INTERFACES)
    connection.register_object(MANAGER_PATH, node.lookup_interface("org.freedesktop.login1.Manager"),
                               fake.on_call, None, None)
    connection.register_object(SESSION_PATH, node.lookup_interface("org.freedesktop.login1.Session"),
                               fake.on_call, None, None)
    # DBUS_NAME_FLAG_DO_NOT_QUEUE; 1 is DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER.
    owned = connection.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "RequestName", GLib.Variant("(su)", (NAME, 4)), GLib.VariantType("(u)"),
                                 Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
    if owned != 1:
        print(f"could not own {NAME}: {owned}", file=sys.stderr)
        return 1

    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, lambda: loop.quit() or False)
    if args.exit_on_stdin_eof:
        def on_stdin(fd, condition):
            if condition & (GLib.IO_HUP | GLib.IO_ERR) or not os.read(fd, 4096):
                loop.quit()
                return False
            return True
        GLib.io_add_watch(sys.stdin.fileno(), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP | GLib.IO_ERR,
                          on_stdin)

    print(json.dumps({"pid": os.getpid()}), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
