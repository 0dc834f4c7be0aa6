# The connection setup the raw bench clients share: a little-endian X connection on the display's
# unix socket, its resource-id base and its first screen's root window.
import select
import socket
import struct
import sys
import time


class Closed(Exception):
    """The X server closed the connection."""


def recv_exactly(s, n, deadline=None):
    """n bytes from s; TimeoutError once the deadline (time.monotonic()) passes first."""
    data = b''
    while len(data) < n:
        if deadline is not None:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([s], [], [], left)[0]:
                raise TimeoutError
        chunk = s.recv(n - len(data))
        if not chunk:
            raise Closed
        data += chunk
    return data


def open_connection(number):
    """(socket, id base, root window) of a new connection to display :number."""
    return finish_connection(start_connection(number))


def start_connection(number):
    """A socket connected to display :number that has sent its setup (finish_connection reads
    the answer: many clients can ask at once)."""
    s = socket.socket(socket.AF_UNIX)
    s.connect('/tmp/.X11-unix/X%d' % number)
    s.sendall(b'l\0' + struct.pack('<HHHH', 11, 0, 0, 0) + b'\0\0')
    return s


def finish_connection(s):
    """(socket, id base, root window) once the setup's answer came."""
    try:
        head = recv_exactly(s, 8)
        body = recv_exactly(s, struct.unpack('<H', head[6:8])[0] * 4)
    except Closed:
        sys.exit('connection closed')
    if head[0] != 1:
        sys.exit('connection refused: %r' % body[:head[1]])
    base = struct.unpack('<I', body[4:8])[0]
    vendor = struct.unpack('<H', body[16:18])[0]
    at = 32 + (vendor + 3) // 4 * 4 + 8 * body[21]
    return s, base, struct.unpack('<I', body[at:at + 4])[0]
