#!/usr/bin/python3
"""Reads back what xrelay.py -capture FILE wrote.

As a module: read(path) gives the messages in the order the relay passed them, and exchanges()
pairs each request with the replies and errors that went back at its sequence number.

As a program: capture.py FILE [-major N] [-minor M] prints one line per request (of that major
opcode and minor byte when given): "CONN SEQ REQUEST-HEX ANSWER-HEX", the answer the first
reply or error of that sequence number, "-" when none came. The bytes are as they passed, in
the connection's byte order.
"""

import sys


class Message:
    """One request (direction "C") or one reply, error or event (direction "S")."""

    def __init__(self, conn, direction, seq, data, big):
        self.conn = conn
        self.direction = direction
        self.seq = seq
        self.data = data
        self.big = big

    def kind(self):
        if self.direction == "C":
            return "request"
        return {0: "error", 1: "reply"}.get(self.data[0], "event")

    def card16(self, offset):
        return int.from_bytes(self.data[offset:offset + 2], "big" if self.big else "little")

    def card32(self, offset):
        return int.from_bytes(self.data[offset:offset + 4], "big" if self.big else "little")


def read(path):
    """The messages of the capture file; a line cut short at the end (the relay still writing)
    or of an unknown form is skipped."""
    messages = []
    big = {}
    with open(path) as f:
        for line in f:
            if not line.endswith("\n"):
                break
            words = line.split()
            try:
                conn = int(words[0])
                if len(words) == 3 and words[1] == "order":
                    big[conn] = words[2] == "B"
                elif len(words) == 4 and words[1] in ("C", "S"):
                    messages.append(Message(conn, words[1], int(words[2]), bytes.fromhex(words[3]),
                                            big.get(conn, False)))
            except (IndexError, ValueError):
                continue
    return messages


def exchanges(messages):
    """(request, answers) for every request, in order: the answers are the replies and errors
    of the request's connection at its sequence number."""
    answers = {}
    for m in messages:
        if m.direction == "S" and m.kind() != "event":
            answers.setdefault((m.conn, m.seq), []).append(m)
    return [(m, answers.get((m.conn, m.seq), [])) for m in messages if m.direction == "C"]


def main(argv):
    if not argv:
        raise SystemExit("usage: capture.py FILE [-major N] [-minor M]")
    path, major, minor = argv[0], None, None
    i = 1
    while i < len(argv):
        if argv[i] == "-major":
            major = int(argv[i + 1], 0)
        elif argv[i] == "-minor":
            minor = int(argv[i + 1], 0)
        else:
            raise SystemExit("capture.py: unknown option " + argv[i])
        i += 2
    for request, answers in exchanges(read(path)):
        if major is not None and request.data[0] != major:
            continue
        if minor is not None and (len(request.data) < 2 or request.data[1] != minor):
            continue
        answer = answers[0].data.hex() if answers else "-"
        print(request.conn, request.seq, request.data.hex(), answer)


if __name__ == "__main__":
    main(sys.argv[1:])
