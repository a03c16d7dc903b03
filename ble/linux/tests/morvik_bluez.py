'''A mock of bluetoothd for the tests of morvik-ble's BlueZ layer.

Loaded by python-dbusmock as a template: it extends the bluez5 template
with adapters and Morvik Pro keyboards whose GATT objects answer reads,
writes and notifications like the keyboard's firmware (a written
configuration frame becomes the response; the voice stream notifies a
packet every 20 ms), and with switches that inject faults.

Everything is driven through methods of org.bluez.Mock on "/".
'''

import dbus
from gi.repository import GLib

import dbusmock.templates.bluez5 as bluez5
from dbusmock import OBJECT_MANAGER_IFACE, mockobject

BUS_NAME = 'org.bluez'
MAIN_OBJ = '/'
SYSTEM_BUS = True
IS_OBJECT_MANAGER = True

MOCK_IFACE = 'org.bluez.Mock'
ADAPTER_IFACE = 'org.bluez.Adapter1'
DEVICE_IFACE = 'org.bluez.Device1'
SERVICE_IFACE = 'org.bluez.GattService1'
CHARACTERISTIC_IFACE = 'org.bluez.GattCharacteristic1'
PROPERTIES_IFACE = dbus.PROPERTIES_IFACE

CONFIGURATION_SERVICE = '7a8e1001-7d3b-4c6a-96a8-3d79199c7e21'
COMMAND = '7a8e1002-7d3b-4c6a-96a8-3d79199c7e21'
RESPONSE = '7a8e1003-7d3b-4c6a-96a8-3d79199c7e21'
VOICE_SERVICE = '7a8e2001-7d3b-4c6a-96a8-3d79199c7e21'
VOICE_COMMAND = '7a8e2002-7d3b-4c6a-96a8-3d79199c7e21'
VOICE_STREAM = '7a8e2003-7d3b-4c6a-96a8-3d79199c7e21'
BATTERY_SERVICE = '0000180f-0000-1000-8000-00805f9b34fb'
HID_SERVICE = '00001812-0000-1000-8000-00805f9b34fb'

# Services of a keyboard: object name, UUID, characteristics (name, UUID, flags).
LAYOUT = {
    'config': ('service0010', CONFIGURATION_SERVICE, [
        ('char0011', COMMAND, ['write', 'write-without-response']),
        ('char0013', RESPONSE, ['read']),
    ]),
    'voice': ('service0020', VOICE_SERVICE, [
        ('char0021', VOICE_COMMAND, ['write']),
        ('char0023', VOICE_STREAM, ['notify']),
    ]),
    'battery': ('service0030', BATTERY_SERVICE, [
        ('char0031', '00002a19-0000-1000-8000-00805f9b34fb', ['read']),
    ]),
}


def load(mock, parameters):
    bluez5.load(mock, parameters)


def _manager():
    return mockobject.objects['/']


def _changed(obj, interface, **values):
    obj.props[interface].update(values)
    obj.EmitSignal(PROPERTIES_IFACE, 'PropertiesChanged', 'sa{sv}as', [interface, values, []])


def _added(path, interface, properties):
    _manager().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesAdded', 'oa{sa{sv}}',
                          [dbus.ObjectPath(path), {interface: properties}])


def _removed(path, interface):
    _manager().RemoveObject(path)
    _manager().EmitSignal(OBJECT_MANAGER_IFACE, 'InterfacesRemoved', 'oas', [dbus.ObjectPath(path), [interface]])


def _failure(message):
    return dbus.exceptions.DBusException(message, name='org.bluez.Error.Failed')


# --- adapter ---------------------------------------------------------------

def StartDiscovery(adapter):
    _changed(adapter, ADAPTER_IFACE, Discovering=dbus.Boolean(True))


def StopDiscovery(adapter):
    _changed(adapter, ADAPTER_IFACE, Discovering=dbus.Boolean(False))


def SetDiscoveryFilter(adapter, discovery_filter):
    adapter.discovery_filter = dict(discovery_filter)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='s')
def AddAdapter(self, name, address):
    path = '/org/bluez/' + name
    properties = {
        'Address': dbus.String(address),
        'Name': dbus.String('morvik-test'),
        'Alias': dbus.String('morvik-test'),
        'Powered': dbus.Boolean(True),
        'Discovering': dbus.Boolean(False),
    }
    self.AddObject(path, ADAPTER_IFACE, properties, [
        ('StartDiscovery', '', '', StartDiscovery),
        ('StopDiscovery', '', '', StopDiscovery),
        ('SetDiscoveryFilter', 'a{sv}', '', SetDiscoveryFilter),
    ])
    mockobject.objects[path].discovery_filter = None
    _added(path, ADAPTER_IFACE, properties)
    return path


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='')
def SetPowered(self, adapter, powered):
    _changed(mockobject.objects[adapter], ADAPTER_IFACE, Powered=dbus.Boolean(powered))


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='a{sv}')
def DiscoveryFilter(self, adapter):
    return mockobject.objects[adapter].discovery_filter or {}


# --- keyboard --------------------------------------------------------------

def _stop_stream(device):
    if getattr(device, 'stream_timer', None):
        GLib.source_remove(device.stream_timer)
        device.stream_timer = None


def Connect(device):
    if device.connect_error:
        raise _failure(device.connect_error)
    if device.props[DEVICE_IFACE]['Connected']:
        raise dbus.exceptions.DBusException('Already Connected', name='org.bluez.Error.AlreadyConnected')
    _changed(device, DEVICE_IFACE, Connected=dbus.Boolean(True))
    for which in device.remove_while_connecting:
        _remove_service(device, which)
    if device.resolve:
        _changed(device, DEVICE_IFACE, ServicesResolved=dbus.Boolean(True))


def Disconnect(device):
    if not device.props[DEVICE_IFACE]['Connected']:
        raise dbus.exceptions.DBusException('Not Connected', name='org.bluez.Error.NotConnected')
    _drop_link(device)


def _drop_link(device):
    _stop_stream(device)
    for characteristic in _characteristics(device):
        characteristic.props[CHARACTERISTIC_IFACE]['Notifying'] = dbus.Boolean(False)
    _changed(device, DEVICE_IFACE, ServicesResolved=dbus.Boolean(False))
    _changed(device, DEVICE_IFACE, Connected=dbus.Boolean(False))


def _characteristics(device):
    return [obj for path, obj in list(mockobject.objects.items())
            if path.startswith(device.path + '/') and CHARACTERISTIC_IFACE in obj.props]


def _keyboard_of(obj):
    return mockobject.objects[obj.path.rsplit('/', 2)[0]]


def ReadValue(characteristic, _options):
    device = _keyboard_of(characteristic)
    if device.faults.get('read'):
        raise _failure(device.faults['read'])
    if characteristic.props[CHARACTERISTIC_IFACE]['UUID'] == RESPONSE:
        return dbus.Array(device.response, signature='y')
    return characteristic.props[CHARACTERISTIC_IFACE]['Value']


def WriteValue(characteristic, value, options):
    device = _keyboard_of(characteristic)
    if device.faults.get('write'):
        raise _failure(device.faults['write'])
    device.writes.append((str(characteristic.props[CHARACTERISTIC_IFACE]['UUID']), [int(b) for b in value],
                          str(options.get('type', ''))))
    if characteristic.props[CHARACTERISTIC_IFACE]['UUID'] == COMMAND:
        device.response = [int(b) for b in value]


def StartNotify(characteristic):
    device = _keyboard_of(characteristic)
    if device.faults.get('notify'):
        raise _failure(device.faults['notify'])
    _changed(characteristic, CHARACTERISTIC_IFACE, Notifying=dbus.Boolean(True))
    if characteristic.props[CHARACTERISTIC_IFACE]['UUID'] == VOICE_STREAM and not device.stream_timer:
        device.sequence = 0

        def send_packet():
            seq = device.sequence
            device.sequence += 1
            packet = [seq >> 8 & 0xFF, seq & 0xFF] + [(seq + i) & 0xFF for i in range(2, 20)]
            _changed(characteristic, CHARACTERISTIC_IFACE, Value=dbus.Array(packet, signature='y'))
            return True

        device.stream_timer = GLib.timeout_add(20, send_packet)


def StopNotify(characteristic):
    device = _keyboard_of(characteristic)
    if device.faults.get('notify'):
        raise _failure(device.faults['notify'])
    if characteristic.props[CHARACTERISTIC_IFACE]['UUID'] == VOICE_STREAM:
        _stop_stream(device)
    _changed(characteristic, CHARACTERISTIC_IFACE, Notifying=dbus.Boolean(False))


def _add_service(device, which):
    name, uuid, characteristics = LAYOUT[which]
    service_path = device.path + '/' + name
    properties = {'UUID': dbus.String(uuid), 'Device': dbus.ObjectPath(device.path), 'Primary': dbus.Boolean(True)}
    _manager().AddObject(service_path, SERVICE_IFACE, properties, [])
    _added(service_path, SERVICE_IFACE, properties)
    for char_name, char_uuid, flags in characteristics:
        char_path = service_path + '/' + char_name
        char_properties = {
            'UUID': dbus.String(char_uuid),
            'Service': dbus.ObjectPath(service_path),
            'Flags': dbus.Array(flags, signature='s'),
            'Value': dbus.Array([], signature='y'),
            'Notifying': dbus.Boolean(False),
            'MTU': dbus.UInt16(device.mtu),
        }
        _manager().AddObject(char_path, CHARACTERISTIC_IFACE, char_properties, [
            ('ReadValue', 'a{sv}', 'ay', ReadValue),
            ('WriteValue', 'aya{sv}', '', WriteValue),
            ('StartNotify', '', '', StartNotify),
            ('StopNotify', '', '', StopNotify),
        ])
        _added(char_path, CHARACTERISTIC_IFACE, char_properties)


def _remove_service(device, which):
    name, _, characteristics = LAYOUT[which]
    service_path = device.path + '/' + name
    if which == 'voice':
        _stop_stream(device)
    for char_name, _, _ in characteristics:
        _removed(service_path + '/' + char_name, CHARACTERISTIC_IFACE)
    _removed(service_path, SERVICE_IFACE)


@dbus.service.method(MOCK_IFACE, in_signature='sssa{sv}', out_signature='s')
def AddKeyboard(self, adapter, address, name, options):
    '''A Morvik Pro near the adapter. Options: "voice" (b, default true),
    "battery" (b), "mtu" (q, default 185), "system" (b: already connected
    to the computer, offering the HID service), "resolve" (b, default
    true: services resolve on connection).'''
    path = adapter + '/dev_' + address.replace(':', '_')
    system = bool(options.get('system', False))
    properties = {
        'Address': dbus.String(address),
        'AddressType': dbus.String('random'),
        'Alias': dbus.String(name or address.replace(':', '-')),
        'Adapter': dbus.ObjectPath(adapter),
        'Connected': dbus.Boolean(system),
        'ServicesResolved': dbus.Boolean(system),
        'Paired': dbus.Boolean(False),
        'UUIDs': dbus.Array([HID_SERVICE, CONFIGURATION_SERVICE] if system else [], signature='s'),
        'RSSI': dbus.Int16(-52),
    }
    if name:
        properties['Name'] = dbus.String(name)
    self.AddObject(path, DEVICE_IFACE, properties, [('Connect', '', '', Connect), ('Disconnect', '', '', Disconnect)])
    device = mockobject.objects[path]
    device.connect_error = ''
    device.resolve = bool(options.get('resolve', True))
    device.remove_while_connecting = []
    device.faults = {}
    device.writes = []
    device.response = []
    device.stream_timer = None
    device.mtu = int(options.get('mtu', 185))
    _added(path, DEVICE_IFACE, properties)
    _add_service(device, 'config')
    if options.get('voice', True):
        _add_service(device, 'voice')
    if options.get('battery', False):
        _add_service(device, 'battery')
    return path


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Advertise(self, device):
    '''The device is seen again by a scan.'''
    _changed(mockobject.objects[device], DEVICE_IFACE, RSSI=dbus.Int16(-48))


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def FailConnect(self, device, message):
    mockobject.objects[device].connect_error = message


@dbus.service.method(MOCK_IFACE, in_signature='sss', out_signature='')
def Fail(self, device, operation, message):
    '''Makes "read", "write" or "notify" fail with the message ('' heals).'''
    mockobject.objects[device].faults[operation] = message


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def LoseLink(self, device):
    _drop_link(mockobject.objects[device])


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def RemoveService(self, device, which):
    '''Removes the "config", "voice" or "battery" service now.'''
    _remove_service(mockobject.objects[device], which)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def RemoveServiceWhileConnecting(self, device, which):
    mockobject.objects[device].remove_while_connecting.append(which)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='a(says)')
def Writes(self, device):
    '''Every write the keyboard received: characteristic UUID, bytes, type.'''
    return [(uuid, dbus.Array(data, signature='y'), kind) for uuid, data, kind in mockobject.objects[device].writes]
