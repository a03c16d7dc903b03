#!/usr/bin/python3
"""A small GTK application for the tests of morvik-context on Linux.

One window, "Morvik Test Notes": an entry, a text view, a button and a disabled
entry; Alt+1, Alt+2 and Alt+3 focus the first three, Alt+D opens a modal
dialog. Prints "ready" once shown. "--browser": a browser (window class
"firefox") whose address bar shows a page. "--unreadable": accessible objects
of its own, some of whose reads fail, as a toolkit that cannot tell: a focused
group's states, a window's and a modal dialog's places among the children.
"""
import os
import sys

import gi

if "--unreadable" in sys.argv:
    os.environ["NO_AT_BRIDGE"] = "1"  # before GTK starts: the tree below is served instead

gi.require_version("Gtk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


def activate(app):
    window = Gtk.ApplicationWindow(application=app, title="Morvik Test Notes")
    window.set_default_size(400, 300)
    box = Gtk.Box(orientation=Gtk.Orientation.VERTICAL)
    entry = Gtk.Entry()
    text = Gtk.TextView()
    button = Gtk.Button(label="Save")
    disabled = Gtk.Entry(sensitive=False)
    for widget in (entry, text, button, disabled):
        box.pack_start(widget, False, False, 2)
    window.add(box)

    def dialog():
        modal = Gtk.Dialog(title="Unsaved changes", transient_for=window, modal=True)
        modal.add_button("Close", Gtk.ResponseType.CLOSE)
        modal.connect("response", lambda d, _: d.destroy())
        modal.show_all()

    accelerators = Gtk.AccelGroup()
    for key, action in {"1": entry.grab_focus, "2": text.grab_focus, "3": button.grab_focus, "d": dialog}.items():
        accelerators.connect(*Gtk.accelerator_parse("<Alt>" + key), 0, lambda *_, act=action: act() or True)
    window.add_accel_group(accelerators)
    window.show_all()
    entry.grab_focus()
    GLib.idle_add(lambda: print("ready", flush=True))


def browser():
    Gdk.set_program_class("firefox")
    window = Gtk.Window(title="Example Domain")
    window.set_default_size(400, 300)
    address = Gtk.Entry(text="https://example.org/page?q=1#top")
    address.get_accessible().set_description("Search or enter address")
    window.add(address)
    show(window)


def show(window):
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    GLib.idle_add(lambda: print("ready", flush=True))
    Gtk.main()


INTERFACES = """<node>
<interface name="org.a11y.atspi.Accessible">
  <method name="GetChildAtIndex"><arg direction="in" type="i"/><arg direction="out" type="(so)"/></method>
  <method name="GetIndexInParent"><arg direction="out" type="i"/></method>
  <method name="GetRole"><arg direction="out" type="u"/></method>
  <method name="GetState"><arg direction="out" type="au"/></method>
  <method name="GetInterfaces"><arg direction="out" type="as"/></method>
  <property name="Name" type="s" access="read"/>
  <property name="Parent" type="(so)" access="read"/>
  <property name="ChildCount" type="i" access="read"/>
</interface>
<interface name="org.a11y.atspi.Collection">
  <method name="GetMatches"><arg direction="in" type="(aiia{ss}iaiiasib)"/><arg direction="in" type="u"/>
    <arg direction="in" type="i"/><arg direction="in" type="b"/><arg direction="out" type="a(so)"/></method>
</interface>
</node>"""


def unreadable():
    from gi.repository import Gio

    session = Gio.bus_get_sync(Gio.BusType.SESSION)
    address = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress", None, None, 0, -1)
    flags = Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION
    bus = Gio.DBusConnection.new_for_address_sync(address.unpack()[0], flags)
    me, base = bus.get_unique_name(), "/org/a11y/atspi/accessible/"
    # name: role, name, parent, children, states (ATSPI_STATE_* bits) or None when they fail
    active, enabled, modal, visible = 1 << 1, 1 << 8 | 1 << 24, 1 << 16, 1 << 25 | 1 << 30
    tree = {"root": (75, "Morvik Fake Notes", None, ["window", "dialog"], 0),
            "window": (23, "Morvik Fake Notes", "root", ["group"], active | enabled | visible),
            "dialog": (16, "Busy", "root", [], modal | enabled | visible),
            "group": (39, "", "window", [], None)}
    desktop = bus.call_sync("org.a11y.atspi.Registry", base + "root", "org.a11y.atspi.Socket", "Embed",
                            GLib.Variant("((so))", ((me, base + "root"),)), None, 0, -1).unpack()[0]

    def call(_bus, _sender, path, _interface, method, args, invocation):
        role, _, _, children, states = tree[path.rsplit("/", 1)[1]]
        if method == "GetChildAtIndex":
            return invocation.return_value(GLib.Variant("((so))", ((me, base + children[args[0]]),)))
        if method == "GetRole":
            return invocation.return_value(GLib.Variant("(u)", (role,)))
        if method == "GetState" and states is not None:
            return invocation.return_value(GLib.Variant("(au)", ([states, 0],)))
        if method == "GetInterfaces":
            return invocation.return_value(GLib.Variant("(as)", (["org.a11y.atspi.Accessible",
                                                                  "org.a11y.atspi.Collection"],)))
        if method == "GetMatches" and children:
            return invocation.return_value(GLib.Variant("(a(so))", ([(me, base + children[0])],)))
        invocation.return_dbus_error("org.freedesktop.DBus.Error.Failed", "cannot be told")

    def read(_bus, _sender, path, _interface, name):
        _, title, parent, children, _ = tree[path.rsplit("/", 1)[1]]
        if name == "Parent":
            return GLib.Variant("(so)", desktop if parent is None else (me, base + parent))
        return GLib.Variant("s", title) if name == "Name" else GLib.Variant("i", len(children))

    for interface in Gio.DBusNodeInfo.new_for_xml(INTERFACES).interfaces:
        for name in tree:
            bus.register_object(base + name, interface, call, read, None)
    show(Gtk.Window(title="Morvik Fake Notes"))


if "--browser" in sys.argv:
    browser()
elif "--unreadable" in sys.argv:
    unreadable()
else:
    app = Gtk.Application(application_id="studio.morvik.TestNotes")
    app.connect("activate", activate)
    app.run([])
