'''A mock of bluetoothd for the tests of morvik-ble's BlueZ layer.

Loaded by python-dbusmock as a template: it extends the bluez5 template
with adapters and Morvik Pro keyboards whose GATT objects answer reads,
writes and notifications like the keyboard's firmware (a written
configuration frame becomes the response; the voice stream notifies a
packet every 20 ms), and with switches that inject faults.

It keeps bluetoothd's ugly orders: a lost link first unresolves the
services, then fails the GATT requests in flight, then removes the GATT
objects of an unpaired device, and only then reports Connected false;
Disconnect answers once the link is down, a moment later; discovery is
counted per client, so another program's discovery is not ours.
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
    mock.object_manager_calls = 0
    mock.object_manager_stalled = False
    _add_async_method(mock, OBJECT_MANAGER_IFACE, 'GetManagedObjects', '', 'a{oa{sa{sv}}}', GetManagedObjects)


def GetManagedObjects(manager, ok, err, sender):
    '''Counted; a stalled daemon takes the call and never answers.'''
    manager.object_manager_calls += 1
    if not manager.object_manager_stalled:
        ok({dbus.ObjectPath(path): obj.props for path, obj in mockobject.objects.items() if path != '/'})


@dbus.service.method(MOCK_IFACE, in_signature='b', out_signature='u')
def StallObjectManager(self, stalled):
    '''Stalls (true) or heals GetManagedObjects; returns the calls so far.'''
    self.object_manager_stalled = stalled
    return self.object_manager_calls


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


def _failure(message, name='org.bluez.Error.Failed'):
    return dbus.exceptions.DBusException(message, name=name)


def _add_async_method(obj, interface, name, in_sig, out_sig, func):
    '''A method that answers when it chooses: func(obj, *args, ok, err, sender).'''
    def method(self, *args, ok=None, err=None, sender=None):
        func(self, *args, ok=ok, err=err, sender=sender)

    method.__name__ = name
    method._dbus_is_method = True
    method._dbus_async_callbacks = ('ok', 'err')
    method._dbus_interface = interface
    method._dbus_in_signature = in_sig
    method._dbus_out_signature = out_sig
    method._dbus_sender_keyword = 'sender'
    for keyword in ('path', 'rel_path', 'destination', 'message', 'connection'):
        setattr(method, f'_dbus_{keyword}_keyword', None)
    method._dbus_args = [f'arg{i}' for i in range(1, len(dbus.Signature(in_sig)) + 1)]
    method._dbus_get_args_options = {'byte_arrays': False}
    obj.methods.setdefault(interface, {})[name] = (in_sig, out_sig, None, method)


# --- adapter ---------------------------------------------------------------

def _discovery(start):
    '''StartDiscovery or StopDiscovery of one client; the adapter discovers while any client does.'''
    def method(adapter, ok, err, sender):
        if (sender in adapter.discovery_clients) == start:
            err(_failure('Operation already in progress', 'org.bluez.Error.InProgress') if start
                else _failure('No discovery started'))
            return
        (adapter.discovery_clients.add if start else adapter.discovery_clients.discard)(sender)
        discovering = bool(adapter.discovery_clients)
        if adapter.props[ADAPTER_IFACE]['Discovering'] != discovering:
            _changed(adapter, ADAPTER_IFACE, Discovering=dbus.Boolean(discovering))
        ok()
    return method


def SetDiscoveryFilter(adapter, discovery_filter, ok, err, sender):
    adapter.discovery_filters[sender] = dict(discovery_filter)
    ok()


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
    self.AddObject(path, ADAPTER_IFACE, properties, [])
    adapter = mockobject.objects[path]
    adapter.discovery_clients = set()
    adapter.discovery_filters = {}
    _add_async_method(adapter, ADAPTER_IFACE, 'StartDiscovery', '', '', _discovery(True))
    _add_async_method(adapter, ADAPTER_IFACE, 'StopDiscovery', '', '', _discovery(False))
    _add_async_method(adapter, ADAPTER_IFACE, 'SetDiscoveryFilter', 'a{sv}', '', SetDiscoveryFilter)
    _added(path, ADAPTER_IFACE, properties)
    return path


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='')
def SetPowered(self, adapter, powered):
    _changed(mockobject.objects[adapter], ADAPTER_IFACE, Powered=dbus.Boolean(powered))


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='u')
def DiscoveryClients(self, adapter):
    return len(mockobject.objects[adapter].discovery_clients)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='a{sv}')
def DiscoveryFilter(self, adapter):
    '''The filter of a client that has one (the test's own client sets none).'''
    filters = [f for f in mockobject.objects[adapter].discovery_filters.values() if f]
    return filters[0] if filters else {}


# --- keyboard --------------------------------------------------------------

def _stop_stream(device):
    if device.stream_timer:
        GLib.source_remove(device.stream_timer)
        device.stream_timer = None


def _services_present(device):
    return [which for which in LAYOUT if (device.path + '/' + LAYOUT[which][0]) in mockobject.objects]


def Connect(device, ok, err, sender):
    if device.paging:
        # Paging a keyboard that does not answer: no reply for a while.
        return
    if device.faults.get('connect'):
        err(_failure(device.faults['connect']))
        return
    if device.disconnecting:
        err(_failure('In Progress', 'org.bluez.Error.InProgress'))
        return
    if device.props[DEVICE_IFACE]['Connected']:
        err(_failure('Already Connected', 'org.bluez.Error.AlreadyConnected'))
        return
    _changed(device, DEVICE_IFACE, Connected=dbus.Boolean(True))
    for which in [w for w in device.layout if w not in _services_present(device)]:
        _add_service(device, which)
    for which in device.remove_while_connecting:
        _remove_service(device, which)
    if device.resolve:
        _changed(device, DEVICE_IFACE, ServicesResolved=dbus.Boolean(True))
    ok()


def Disconnect(device, ok, err, sender):
    '''Drops every profile of the device; answers once the link is down.'''
    if not device.props[DEVICE_IFACE]['Connected']:
        err(_failure('Not Connected', 'org.bluez.Error.NotConnected'))
        return
    device.disconnect_calls += 1
    device.disconnecting = True
    _changed(device, DEVICE_IFACE, ServicesResolved=dbus.Boolean(False))

    def link_down():
        device.disconnecting = False
        _drop_link(device)
        ok()
        return False

    GLib.timeout_add(300, link_down)


def _drop_link(device):
    '''The link goes, in bluetoothd's order.'''
    _stop_stream(device)
    if device.props[DEVICE_IFACE]['ServicesResolved']:
        _changed(device, DEVICE_IFACE, ServicesResolved=dbus.Boolean(False))
    held, device.held = device.held, []
    for operation in held:
        operation(_failure('Not connected'))
    for path, obj in list(mockobject.objects.items()):
        if path.startswith(device.path + '/') and CHARACTERISTIC_IFACE in obj.props:
            obj.props[CHARACTERISTIC_IFACE]['Notifying'] = dbus.Boolean(False)
    if not device.props[DEVICE_IFACE]['Paired']:
        for which in _services_present(device):
            _remove_service(device, which)
    _changed(device, DEVICE_IFACE, Connected=dbus.Boolean(False))


def _gatt_request(operation, func):
    '''A GATT request: answered at once, or held while the keyboard holds them.
    A held request fails if the link goes first; a faulty operation fails.'''
    def request(characteristic, *args, ok, err, sender):
        device = mockobject.objects[characteristic.path.rsplit('/', 2)[0]]

        def answer(failure=None):
            if failure is None and device.faults.get(operation):
                failure = _failure(device.faults[operation])
            if failure is not None:
                err(failure)
            else:
                result = func(characteristic, device, *args)
                ok() if result is None else ok(result)

        if device.holding:
            device.held.append(answer)
        else:
            answer()
    return request


def _read_value(characteristic, device, _options):
    if characteristic.props[CHARACTERISTIC_IFACE]['UUID'] == RESPONSE:
        return dbus.Array(device.response, signature='y')
    return characteristic.props[CHARACTERISTIC_IFACE]['Value']


def _write_value(characteristic, device, value, options):
    device.write_types.append(str(options.get('type', '')))
    if characteristic.props[CHARACTERISTIC_IFACE]['UUID'] == COMMAND:
        device.response = [int(b) for b in value]


def _start_notify(characteristic, device):
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


def _stop_notify(characteristic, device):
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
            'MTU': dbus.UInt16(185),
        }
        _manager().AddObject(char_path, CHARACTERISTIC_IFACE, char_properties, [])
        characteristic = mockobject.objects[char_path]
        _add_async_method(characteristic, CHARACTERISTIC_IFACE, 'ReadValue', 'a{sv}', 'ay', _gatt_request('read', _read_value))
        _add_async_method(characteristic, CHARACTERISTIC_IFACE, 'WriteValue', 'aya{sv}', '',
                          _gatt_request('write', _write_value))
        _add_async_method(characteristic, CHARACTERISTIC_IFACE, 'StartNotify', '', '',
                          _gatt_request('notify', _start_notify))
        _add_async_method(characteristic, CHARACTERISTIC_IFACE, 'StopNotify', '', '',
                          _gatt_request('notify', _stop_notify))
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
    '''A Morvik Pro near the adapter. Options: "battery" (b), "system" (b:
    paired and already connected to the computer as its keyboard), "paired"
    (b: paired, not connected now), "resolve" (b, default true: services
    resolve on connection), "paging" (b: Connect pages on and on, answering
    nothing). A requested disconnection is done 300 ms later (bluetoothd
    waits about 2 s).'''
    path = adapter + '/dev_' + address.replace(':', '_')
    system = bool(options.get('system', False))
    paired = system or bool(options.get('paired', False))
    properties = {
        'Address': dbus.String(address),
        'AddressType': dbus.String('random'),
        'Alias': dbus.String(name or address.replace(':', '-')),
        'Adapter': dbus.ObjectPath(adapter),
        'Connected': dbus.Boolean(system),
        'ServicesResolved': dbus.Boolean(system),
        'Paired': dbus.Boolean(paired),
        # Advertised, or kept from the last connection once paired.
        'UUIDs': dbus.Array([HID_SERVICE, CONFIGURATION_SERVICE], signature='s'),
        'RSSI': dbus.Int16(-52),
    }
    if name:
        properties['Name'] = dbus.String(name)
    self.AddObject(path, DEVICE_IFACE, properties, [])
    device = mockobject.objects[path]
    _add_async_method(device, DEVICE_IFACE, 'Connect', '', '', Connect)
    _add_async_method(device, DEVICE_IFACE, 'Disconnect', '', '', Disconnect)
    device.resolve = bool(options.get('resolve', True))
    device.paging = bool(options.get('paging', False))
    device.remove_while_connecting = []
    device.faults = {}
    device.write_types = []
    device.response = []
    device.stream_timer = None
    device.holding = False
    device.held = []
    device.disconnecting = False
    device.disconnect_calls = 0
    device.layout = ['config', 'voice'] + (['battery'] if options.get('battery', False) else [])
    _added(path, DEVICE_IFACE, properties)
    for which in device.layout:
        _add_service(device, which)
    return path


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def Advertise(self, device):
    '''The device is seen again by a scan.'''
    _changed(mockobject.objects[device], DEVICE_IFACE, RSSI=dbus.Int16(-48))


@dbus.service.method(MOCK_IFACE, in_signature='sss', out_signature='')
def Fail(self, device, operation, message):
    '''Makes "connect", "read", "write" or "notify" fail with the message ('' heals).'''
    mockobject.objects[device].faults[operation] = message


@dbus.service.method(MOCK_IFACE, in_signature='sb', out_signature='u')
def HoldRequests(self, device, holding):
    '''GATT requests wait (true) until released (false answers them in order); returns how many wait.'''
    keyboard = mockobject.objects[device]
    keyboard.holding = holding
    if not holding:
        held, keyboard.held = keyboard.held, []
        for answer in held:
            answer()
    return len(keyboard.held)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def LoseLink(self, device):
    _drop_link(mockobject.objects[device])


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='')
def RemoveKeyboard(self, device):
    '''The device object goes at once, GATT objects first, with no change of
    its properties before (as when its adapter is unplugged).'''
    keyboard = mockobject.objects[device]
    for which in _services_present(keyboard):
        _remove_service(keyboard, which)
    _removed(device, DEVICE_IFACE)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def RemoveService(self, device, which):
    '''Removes the "config", "voice" or "battery" service now.'''
    _remove_service(mockobject.objects[device], which)


@dbus.service.method(MOCK_IFACE, in_signature='ss', out_signature='')
def RemoveServiceWhileConnecting(self, device, which):
    mockobject.objects[device].remove_while_connecting.append(which)


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='as')
def WriteTypes(self, device):
    '''The write type of every write the keyboard received.'''
    return dbus.Array(mockobject.objects[device].write_types, signature='s')


@dbus.service.method(MOCK_IFACE, in_signature='s', out_signature='ubb')
def LinkState(self, device):
    '''Disconnect calls so far, whether connected, whether the voice stream notifies.'''
    keyboard = mockobject.objects[device]
    stream = mockobject.objects.get(device + '/' + LAYOUT['voice'][0] + '/' + LAYOUT['voice'][2][1][0])
    notifying = bool(stream and stream.props[CHARACTERISTIC_IFACE]['Notifying'])
    return keyboard.disconnect_calls, bool(keyboard.props[DEVICE_IFACE]['Connected']), notifying
