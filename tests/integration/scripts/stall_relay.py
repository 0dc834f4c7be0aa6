#!/usr/bin/python3
"""A relay in front of an X server that can stall its answers: requests always pass; SIGUSR1
switches the answers between flowing and held. While held, a new connection still gets the
first 8 bytes of the server's setup answer (what a probe of the server reads) and nothing
more, and every other answer waits; switched back, everything held goes on in order.

Usage: stall_relay.py :UPSTREAM DISPLAYFD  (writes the display number it listens on to DISPLAYFD)
"""

import os
import select
import signal
import socket
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "relay"))
import xrelay  # noqa: E402  (its free display number and clean-up)

flowing = threading.Event()
flowing.set()


def toggle(_signum, _frame):
    if flowing.is_set():
        flowing.clear()
    else:
        flowing.set()


def requests_to_server(client, upstream):
    while True:
        data = client.recv(65536)
        if not data:
            return
        upstream.sendall(data)


def answers_to_client(client, upstream):
    head = b""
    while len(head) < 8:
        data = upstream.recv(8 - len(head))
        if not data:
            return
        head += data
    client.sendall(head)
    while True:
        data = upstream.recv(65536)
        if not data:
            return
        flowing.wait()
        client.sendall(data)


def run(target, client, upstream):
    try:
        target(client, upstream)
    except OSError:
        pass
    for s in (client, upstream):
        try:
            s.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass


def main():
    upstream_path = "/tmp/.X11-unix/X" + sys.argv[1].lstrip(":").split(".")[0]
    displayfd = int(sys.argv[2])
    number, listeners = xrelay.listen_on_free_display()
    signal.signal(signal.SIGTERM, xrelay.cleanup)
    signal.signal(signal.SIGUSR1, toggle)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGUSR1})  # a test may start it blocked
    os.write(displayfd, b"%d\n" % number)
    os.close(displayfd)
    try:
        while True:
            try:
                readable, _, _ = select.select(listeners, [], [])
            except InterruptedError:
                continue
            for listener in readable:
                client, _ = listener.accept()
                server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                server.connect(upstream_path)
                for target in (requests_to_server, answers_to_client):
                    threading.Thread(target=run, args=(target, client, server), daemon=True).start()
    finally:
        xrelay.cleanup()


if __name__ == "__main__":
    main()
