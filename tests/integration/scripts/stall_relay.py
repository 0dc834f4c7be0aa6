#!/usr/bin/python3
"""A relay in front of an X server that can stall its answers: requests always pass; SIGUSR1
switches the answers between flowing and held. While held, a new connection still gets the
first 8 bytes of the server's setup answer (what a probe of the server reads) and nothing
more, and every other answer waits; switched back, everything held goes on in order.

Usage: stall_relay.py :UPSTREAM DISPLAYFD  (writes the display number it listens on to DISPLAYFD)
"""

import os
import signal
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import answer_relay  # noqa: E402  (its connection threads and listener)

flowing = threading.Event()
flowing.set()


def toggle(_signum, _frame):
    if flowing.is_set():
        flowing.clear()
    else:
        flowing.set()


def requests_to_server(conn):
    while True:
        data = conn.client.recv(65536)
        if not data:
            return
        conn.upstream.sendall(data)


def answers_to_client(conn):
    head = b""
    while len(head) < 8:
        data = conn.upstream.recv(8 - len(head))
        if not data:
            return
        head += data
    conn.client.sendall(head)
    while True:
        data = conn.upstream.recv(65536)
        if not data:
            return
        flowing.wait()
        conn.client.sendall(data)


if __name__ == "__main__":
    signal.signal(signal.SIGUSR1, toggle)
    signal.pthread_sigmask(signal.SIG_UNBLOCK, {signal.SIGUSR1})  # a test may start it blocked
    answer_relay.main((requests_to_server, answers_to_client))
