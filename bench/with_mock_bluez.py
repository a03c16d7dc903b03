#!/usr/bin/python3
"""Runs a command with a mock bluetoothd answering on a private system bus.

usage: with_mock_bluez.py COMMAND [ARG...]
Starts a dbus-daemon of its own and python-dbusmock with the tests' keyboard
template and one adapter, points DBUS_SYSTEM_BUS_ADDRESS of the command there,
and stops both when the command ends. Exits with the command's status.
"""
import os
import subprocess
import sys
import tempfile
import time

import dbus

TEMPLATE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "ble", "linux", "tests", "morvik_bluez.py")
CONFIGURATION = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>custom</type>
  <listen>unix:path={directory}/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default"><allow user="*"/><allow own="*"/><allow send_destination="*"/>
    <allow receive_sender="*"/></policy>
</busconfig>
"""


def main():
    with tempfile.TemporaryDirectory(prefix="morvik-bench-bus-") as directory:
        with open(os.path.join(directory, "bus.conf"), "w") as configuration:
            configuration.write(CONFIGURATION.format(directory=directory))
        daemon = subprocess.Popen(["/usr/bin/dbus-daemon", "--config-file=" + directory + "/bus.conf", "--nofork",
                                   "--print-address=1"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                  text=True)
        address = daemon.stdout.readline().strip()
        environment = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        bluetoothd = subprocess.Popen(["/usr/bin/python3", "-m", "dbusmock", "--template", TEMPLATE],
                                      env=environment, stdout=subprocess.DEVNULL)
        try:
            bus = dbus.bus.BusConnection(address)
            deadline = time.monotonic() + 20
            while not bus.name_has_owner("org.bluez"):
                if time.monotonic() > deadline or bluetoothd.poll() is not None:
                    sys.exit("the mock bluetoothd did not start")
                time.sleep(0.02)
            bus.get_object("org.bluez", "/").AddAdapter("hci0", "00:1A:7D:DA:71:13", dbus_interface="org.bluez.Mock")
            status = subprocess.run(sys.argv[1:], env=environment).returncode
        finally:
            bluetoothd.terminate()
            bluetoothd.wait()
            daemon.terminate()
            daemon.wait()
    sys.exit(status)


if __name__ == "__main__":
    main()
