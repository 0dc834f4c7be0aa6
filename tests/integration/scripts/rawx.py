# A bare X client on a unix socket, for the scripts whose clients must not read what Xlib would
# read for them (a client that sleeps), or that send many requests at once, or that must see a
# refused setup as it is. Little-endian; no authorisation (the test servers ask none).
import socket, struct

SubstructureNotifyMask = 1 << 19
PropertyChangeMask = 1 << 22


class Refused(Exception):
    pass


def socket_path(name):
    number = name.split(':', 1)[1].split('.', 1)[0]
    return '/tmp/.X11-unix/X' + number


def pad4(n):
    return (n + 3) & ~3


class Client:
    def __init__(self, name, timeout=30.0, answer_later=False):
        # answer_later: only connects and sends the setup; take_setup() reads the answer (so that
        # many clients can ask at once).
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(socket_path(name))
        try:
            self.sock.sendall(struct.pack('<BxHHHHxx', 0x6c, 11, 0, 0, 0))
        except (BrokenPipeError, ConnectionResetError):
            pass  # a server that refuses at once may close before reading: its answer may be there
        if not answer_later:
            self.take_setup()

    def take_setup(self):
        try:
            head = self.read_exactly(8)
        except (EOFError, ConnectionResetError):
            self.sock.close()
            raise Refused('closed without an answer')
        status, reason_length, _, _, extra = struct.unpack('<BBHHH', head)
        body = self.read_exactly(extra * 4)
        if status != 1:
            self.sock.close()
            raise Refused(body[:reason_length].decode('latin-1', 'replace') if status == 0 else 'authenticate')
        self.base, self.mask = struct.unpack_from('<II', body, 4)
        vendor_length = struct.unpack_from('<H', body, 16)[0]
        formats = body[21]
        screen = 32 + pad4(vendor_length) + 8 * formats
        self.root, = struct.unpack_from('<I', body, screen)
        self.root_depth = body[screen + 38]
        self.sequence = 0
        self.next_id = 0
        self.events = []  # what arrived while waiting for a reply: 32-byte events
        self.errors = []  # (code, sequence, bad value)

    def read_exactly(self, n):
        data = b''
        while len(data) < n:
            chunk = self.sock.recv(n - len(data))
            if not chunk:
                raise EOFError('the server closed the connection')
            data += chunk
        return data

    def new_id(self):
        self.next_id += 1
        return self.base | self.next_id

    def send(self, data, requests=1):
        self.sock.sendall(data)
        self.sequence += requests

    def read_one(self):
        # One event, error or reply: ('event', bytes), ('error', bytes) or ('reply', bytes).
        data = self.read_exactly(32)
        if data[0] == 0:
            self.errors.append((data[1], struct.unpack_from('<H', data, 2)[0], struct.unpack_from('<I', data, 4)[0]))
            return 'error', data
        if data[0] == 1:
            extra = struct.unpack_from('<I', data, 4)[0]
            return 'reply', data + self.read_exactly(extra * 4)
        self.events.append(data)
        return 'event', data

    def round_trip(self):
        # GetInputFocus; everything before it is answered when its reply comes.
        self.send(struct.pack('<BxH', 43, 1))
        want = self.sequence & 0xffff
        while True:
            kind, data = self.read_one()
            if kind == 'reply' and struct.unpack_from('<H', data, 2)[0] == want:
                return

    def intern_atom(self, atom_name):
        data = atom_name.encode()
        data += b'\0' * (pad4(len(data)) - len(data))
        self.send(struct.pack('<BBHH2x', 16, 0, 2 + len(data) // 4, len(atom_name)) + data)
        want = self.sequence & 0xffff
        while True:
            kind, reply = self.read_one()
            if kind != 'event' and struct.unpack_from('<H', reply, 2)[0] == want:
                return struct.unpack_from('<I', reply, 8)[0] if kind == 'reply' else None

    def select_input(self, window, mask):
        self.send(struct.pack('<BxHIII', 2, 4, window, 1 << 11, mask))  # ChangeWindowAttributes

    def create_window(self, wid, x=10, y=10, width=60, height=40, mask=0):
        values = struct.pack('<I', mask) if mask else b''
        self.send(struct.pack('<BBHIIhhHHHHII', 1, 0, 8 + len(values) // 4, wid, self.root, x, y, width, height, 0, 1,
                              0, 1 << 11 if mask else 0) + values)

    def change_root_property(self, atom, value):
        # ChangeProperty (Replace) of a 32-bit INTEGER on the root, as bytes to send.
        return struct.pack('<BBHIIIB3xII', 18, 0, 7, self.root, atom, 19, 32, 1, value)

    def close(self):
        self.sock.close()


def send_event(destination, mask, event, propagate=0):
    return struct.pack('<BBHII', 25, propagate, 11, destination, mask) + event


def client_message(window, type_atom, data, sent=False):
    # data: five 32-bit values.
    return struct.pack('<BBHII5I', 33 | (0x80 if sent else 0), 32, 0, window, type_atom, *data)


def first_client_range(name):
    # The ids of the first client the server at `name` accepted (the server's own client takes
    # none): a server that gives each client index its own block above the mask gives the first
    # one the block just above the mask.
    c = Client(name)
    mask = c.mask
    c.close()
    low = mask & -mask
    return (mask + low), mask
