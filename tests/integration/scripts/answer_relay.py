#!/usr/bin/python3
"""A relay in front of an X server whose answers go wrong on request: every byte passes
unchanged, except that the reply to InternAtom of
  TARVO_HUGE_REPLY   becomes a reply header announcing 0x3fffffd0 more words, followed by up
                     to 200 MB of zeros while the reader takes them (then the connection is held);
  TARVO_STRAY_REPLY  is preceded by a reply whose sequence number answers no request;
  TARVO_HOLD_<opcode>_<seconds>  arms a hold: the next request of that major opcode on any
                     other connection has its answer (and everything behind it on that
                     connection) held back for that many seconds. The opcode may name a
                     minor code as well: <major>.<minor>.

Usage: answer_relay.py :UPSTREAM DISPLAYFD  (writes the display number it listens on to DISPLAYFD)
"""

import os
import select
import signal
import socket
import struct
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "relay"))
import xrelay  # noqa: E402  (its free display number and clean-up)

HUGE = b"TARVO_HUGE_REPLY"
STRAY = b"TARVO_STRAY_REPLY"
HOLD = b"TARVO_HOLD_"

# The armed hold: (opcode, seconds, the connection that armed it, minor code or None), or None;
# one request takes it.
hold_lock = threading.Lock()
hold_armed = None


def pad(n):
    return (n + 3) & ~3


class Conn:
    def __init__(self, client, upstream):
        self.client = client
        self.upstream = upstream
        self.order = "<"
        self.actions = {}
        self.lock = threading.Lock()


def read_more(sock, buffer):
    data = sock.recv(65536)
    if not data:
        raise EOFError
    return buffer + data


def requests_to_server(conn):
    buffer = b""
    while len(buffer) < 12:
        buffer = read_more(conn.client, buffer)
    conn.order = ">" if buffer[0:1] == b"B" else "<"
    names, data = struct.unpack(conn.order + "HH", buffer[6:10])
    setup = 12 + pad(names) + pad(data)
    while len(buffer) < setup:
        buffer = read_more(conn.client, buffer)
    conn.upstream.sendall(buffer[:setup])
    buffer = buffer[setup:]
    sequence = 0
    while True:
        while len(buffer) < 4:
            buffer = read_more(conn.client, buffer)
        words = struct.unpack(conn.order + "H", buffer[2:4])[0]
        if words == 0:
            while len(buffer) < 8:
                buffer = read_more(conn.client, buffer)
            words = struct.unpack(conn.order + "I", buffer[4:8])[0]
        while len(buffer) < 4 * words:
            buffer = read_more(conn.client, buffer)
        request, buffer = buffer[:4 * words], buffer[4 * words:]
        sequence = (sequence + 1) & 0xffff
        if request[0] == 16:
            length = struct.unpack(conn.order + "H", request[4:6])[0]
            name = request[8:8 + length]
            with conn.lock:
                if name == HUGE:
                    conn.actions[sequence] = "huge"
                elif name == STRAY:
                    conn.actions[sequence] = "stray"
            if name.startswith(HOLD):
                opcode, seconds = name[len(HOLD):].split(b"_")
                major, _, minor = opcode.partition(b".")
                arm_hold((int(major), float(seconds), conn, int(minor) if minor else None))
        take_hold(conn, request[0], request[1], sequence)
        conn.upstream.sendall(request)


def arm_hold(hold):
    global hold_armed
    with hold_lock:
        hold_armed = hold


def take_hold(conn, opcode, minor, sequence):
    """The armed hold goes to this request when it is of the opcode on another connection."""
    global hold_armed
    with hold_lock:
        if hold_armed is None or hold_armed[0] != opcode or hold_armed[2] is conn:
            return
        if hold_armed[3] is not None and hold_armed[3] != minor:
            return
        seconds = hold_armed[1]
        hold_armed = None
    with conn.lock:
        conn.actions[sequence] = ("hold", seconds)


def answers_to_client(conn):
    buffer = b""
    while len(buffer) < 8:
        buffer = read_more(conn.upstream, buffer)
    order = "<" if conn.order == "<" else ">"
    setup = 8 + 4 * struct.unpack(order + "H", buffer[6:8])[0]
    while len(buffer) < setup:
        buffer = read_more(conn.upstream, buffer)
    conn.client.sendall(buffer[:setup])
    buffer = buffer[setup:]
    while True:
        while len(buffer) < 32:
            buffer = read_more(conn.upstream, buffer)
        length = 32
        if buffer[0] in (1, 35):
            length += 4 * struct.unpack(order + "I", buffer[4:8])[0]
        while len(buffer) < length:
            buffer = read_more(conn.upstream, buffer)
        unit, buffer = buffer[:length], buffer[length:]
        sequence = struct.unpack(order + "H", unit[2:4])[0]
        with conn.lock:
            # A reply takes its action; an error only a hold (a held request may fail).
            action = conn.actions.get(sequence) if unit[0] in (0, 1) else None
            if unit[0] == 0 and not isinstance(action, tuple):
                action = None
            if action is not None:
                del conn.actions[sequence]
        if isinstance(action, tuple):
            threading.Event().wait(action[1])
            action = None
        if action == "huge":
            conn.client.sendall(unit[:4] + struct.pack(order + "I", 0x3fffffd0) + unit[8:32])
            zeros = bytes(1 << 20)
            for _ in range(200):
                conn.client.sendall(zeros)
            threading.Event().wait()  # held open
        if action == "stray":
            stray = (sequence + 0x3000) & 0xffff
            conn.client.sendall(bytes([1, 0]) + struct.pack(order + "HII", stray, 0, 0x5a5a5a5a) + bytes(20))
        conn.client.sendall(unit)


def run(target, conn):
    try:
        target(conn)
    except (EOFError, OSError):
        pass
    for s in (conn.client, conn.upstream):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main():
    upstream = "/tmp/.X11-unix/X" + sys.argv[1].lstrip(":").split(".")[0]
    displayfd = int(sys.argv[2])
    number, listeners = xrelay.listen_on_free_display()
    signal.signal(signal.SIGTERM, xrelay.cleanup)
    os.write(displayfd, b"%d\n" % number)
    os.close(displayfd)
    try:
        while True:
            readable, _, _ = select.select(listeners, [], [])
            for listener in readable:
                client, _ = listener.accept()
                server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                server.connect(upstream)
                conn = Conn(client, server)
                for target in (requests_to_server, answers_to_client):
                    threading.Thread(target=run, args=(target, conn), daemon=True).start()
    finally:
        xrelay.cleanup()


if __name__ == "__main__":
    main()
