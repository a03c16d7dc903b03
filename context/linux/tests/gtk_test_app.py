#!/usr/bin/python3
"""A small GTK application for the tests of morvik-context on Linux.

One window, "Morvik Test Notes", with an entry, a text view, a button and a
disabled entry; keyboard shortcuts, pressed with xdotool, move the focus
(Alt+1 entry, Alt+2 text view, Alt+3 button) and open a modal dialog (Alt+D).
It prints "ready" once its window is shown. With "--browser" it is a browser
instead: window class "firefox", and an address bar showing a page.
"""
import sys

import gi

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

    keys = {"1": entry.grab_focus, "2": text.grab_focus, "3": button.grab_focus, "d": dialog}
    accelerators = Gtk.AccelGroup()
    for key, action in keys.items():
        accelerators.connect(Gtk.accelerator_parse("<Alt>" + key)[0], Gtk.accelerator_parse("<Alt>" + key)[1],
                             0, lambda *_, act=action: act() or True)
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
    window.connect("destroy", Gtk.main_quit)
    window.show_all()
    GLib.idle_add(lambda: print("ready", flush=True))
    Gtk.main()


if "--browser" in sys.argv:
    browser()
else:
    app = Gtk.Application(application_id="studio.morvik.TestNotes")
    app.connect("activate", activate)
    app.run([])
