#!/usr/bin/python3
"""Checks the GLX render table against the commands Mesa's client library really sends.

Starts Xvfb with indirect GLX and the test relay in front of it capturing, runs glxrenderclient
(the system's libGL, LIBGL_ALWAYS_INDIRECT=1) through the relay, and takes the render commands
of its GLXRender and GLXRenderLarge requests from the capture. Each command of an opcode the
client names goes through glxswapdump (the proxy's swapper, into the other byte order), and
every value the client passed must come out with its bytes reversed in its unit, byte values
(names, pixels, byte vectors) unchanged, and every other byte (zero fields, padding) unchanged.
Usage: glxcapture.py GLXRENDERCLIENT GLXSWAPDUMP
Exits 77 (skipped) when Xvfb offers no indirect GLX context."""
import os
import resource
import select
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..', 'relay'))
import capture  # noqa: E402

GLX_RENDER, GLX_RENDER_LARGE = 1, 2
# Commands the installed library sends otherwise than the published encoding (glxproto.h):
# not judged here.
DEVIATIONS = {
    219: 'glCompressedTexSubImage3D goes without the format and image size of its header',
}


def read_display(fd, process, seconds):
    """The display number a server wrote to the pipe, None when none came in time."""
    deadline = time.monotonic() + seconds
    text = b''
    while b'\n' not in text:
        left = deadline - time.monotonic()
        if left <= 0 or process.poll() is not None:
            return None
        ready, _, _ = select.select([fd], [], [], left)
        if ready:
            chunk = os.read(fd, 64)
            if not chunk:
                return None
            text += chunk
    return text.split(b'\n')[0].decode()


def start(arguments, seconds=20):
    """(process, display number) of a server started with -displayfd."""
    reader, writer = os.pipe()
    process = subprocess.Popen(arguments + ['-displayfd', str(writer)], pass_fds=[writer],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
    os.close(writer)
    number = read_display(reader, process, seconds)
    os.close(reader)
    return process, number


def stop(process):
    if process and process.poll() is None:
        os.killpg(process.pid, signal.SIGTERM)
        try:
            process.wait(5)
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            process.wait()


def allow_core():
    """In the client before its exec: a crash leaves a core file."""
    try:
        resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    except (ValueError, OSError):
        pass


def crash_stack(program, directory):
    """The stack of a crashed program from its core in the directory (gdb), or why there is none."""
    cores = [os.path.join(directory, n) for n in os.listdir(directory) if n == 'core' or n.startswith('core.')]
    if not cores:
        return 'no core file (kernel.core_pattern: %s)' % open('/proc/sys/kernel/core_pattern').read().strip()
    try:
        out = subprocess.run(['gdb', '-batch', '-ex', 'thread apply all bt', program, cores[0]],
                             capture_output=True, timeout=120)
        return out.stdout.decode(errors='replace')
    except (OSError, subprocess.TimeoutExpired) as e:
        return 'no stack: %s' % e


def wait_for(check, seconds):
    """Whether check() held within the seconds (polled every 50 ms)."""
    deadline = time.monotonic() + seconds
    while not check():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def glx_major(exchanges):
    for request, answers in exchanges:
        data = request.data
        if data[0] == 98 and len(data) >= 8:
            length = request.card16(4)
            if data[8:8 + length] == b'GLX' and answers and answers[0].data[0] == 1:
                return answers[0].data[9]
    return None


def render_commands(messages, major):
    """(opcode, data) of every render command the client sent, in order."""
    out = []
    large = b''
    for m in messages:
        if m.direction != 'C' or m.data[0] != major or m.big:
            continue
        if m.data[1] == GLX_RENDER:
            stream = m.data[8:]
            while len(stream) >= 4:
                length, opcode = int.from_bytes(stream[0:2], 'little'), int.from_bytes(stream[2:4], 'little')
                if length < 4 or length > len(stream):
                    break
                out.append((opcode, stream[4:length]))
                stream = stream[length:]
        elif m.data[1] == GLX_RENDER_LARGE:
            number, total = m.card16(8), m.card16(10)
            count = m.card32(12)
            large = (large if number > 1 else b'') + m.data[16:16 + count]
            if number == total and len(large) >= 8:
                length, opcode = int.from_bytes(large[0:4], 'little'), int.from_bytes(large[4:8], 'little')
                out.append((opcode, large[8:length]))
    return out


def problems_of(data, swapped, values):
    """What the swap did wrong to the command data, given the client's values."""
    problems = []
    want = bytearray(data)
    covered = [False] * len(data)
    counts = {}
    for unit, value in values:
        counts[(unit, value)] = counts.get((unit, value), 0) + 1
    for (unit, value), count in counts.items():
        found = []
        start = data.find(value)
        while start >= 0:
            found.append(start)
            start = data.find(value, start + 1)
        found = [f for f in found if not any(covered[f:f + len(value)])]
        if len(found) != count:
            problems.append('value %s (unit %d) found %d times, passed %d times' % (value.hex(), unit, len(found), count))
            continue
        for at in found:
            for k in range(0, len(value), unit):
                item = data[at + k:at + k + unit]
                want[at + k:at + k + unit] = item[::-1] if unit > 1 else item
            for k in range(at, at + len(value)):
                covered[k] = True
    # Bytes after the last value, short of the next multiple of 4, are padding: whatever the
    # library left there may be swapped along with the values before it.
    last = max((k for k in range(len(data)) if covered[k]), default=-1)
    if len(data) - (last + 1) < 4:
        want[last + 1:] = swapped[last + 1:]
    if not problems and bytes(want) != swapped:
        wrong = [k for k in range(len(data)) if want[k] != swapped[k]]
        problems.append('bytes %s differ: want %s, got %s' % (wrong[:8], bytes(want).hex(), swapped.hex()))
    return problems


def main(argv):
    if len(argv) < 3:
        raise SystemExit('usage: glxcapture.py GLXRENDERCLIENT GLXSWAPDUMP')
    client, dump = os.path.abspath(argv[1]), os.path.abspath(argv[2])
    xvfb = relay = None
    with tempfile.TemporaryDirectory() as directory:
        try:
            xvfb, number = start(['Xvfb', '+iglx', '-nolisten', 'tcp', '-screen', '0', '320x240x24'])
            if number is None:
                print('Xvfb did not start')
                return 1
            capture_file = os.path.join(directory, 'capture')

            def start_relay():
                return start(['/usr/bin/python3', os.path.join(HERE, '..', 'relay', 'xrelay.py'),
                              '-upstream', ':' + number, '-capture', capture_file])

            relay, relay_number = start_relay()
            if relay_number is None:
                print('the relay did not start')
                return 1
            env = dict(os.environ, DISPLAY=':' + relay_number, LIBGL_ALWAYS_INDIRECT='1')
            # A core of a crashed client stays in the directory, for its stack below. The system's
            # GL library crashes now and then inside its own indirect client-state calls (at
            # glEnableClientState or glDrawArrays, in 2 of 40 runs; nothing of the proxy's runs
            # here): a client that crashed is run again, up to three times in all, each on a
            # capture of its own, its stack printed all the same.
            attempts = 3
            for attempt in range(attempts):
                run = subprocess.run([client], env=env, capture_output=True, timeout=60, cwd=directory,
                                     preexec_fn=allow_core)
                if run.returncode >= 0 or attempt == attempts - 1:
                    break
                print('the client crashed (%d); run again. Its stack:' % run.returncode)
                print(crash_stack(client, directory))
                for name in os.listdir(directory):
                    if name == 'core' or name.startswith('core.'):
                        os.remove(os.path.join(directory, name))
                stop(relay)
                os.remove(capture_file)
                relay, relay_number = start_relay()
                if relay_number is None:
                    print('the relay did not start')
                    return 1
                env['DISPLAY'] = ':' + relay_number
            if run.returncode == 2:
                print('skipped: %s' % run.stderr.decode().strip())
                return 77
            if run.returncode != 0:
                print('the client failed (%d): %s' % (run.returncode, run.stderr.decode()))
                if run.returncode < 0:
                    print(crash_stack(client, directory))
                return 1
            # The relay writes each request to the capture as it passes it: the client's last one
            # (DestroyWindow) may follow its exit on a busy machine.
            if not wait_for(lambda: any(m.direction == 'C' and m.data[0] == 4 for m in capture.read(capture_file)), 30):
                print('the capture lacks the client\'s last request')
                return 1
        finally:
            stop(relay)
            stop(xvfb)
        expected = {}
        for line in run.stdout.decode().splitlines():
            words = line.split()
            expected[int(words[0])] = [(int(w.split(':')[0]), bytes.fromhex(w.split(':')[1])) for w in words[1:]]
        messages = capture.read(capture_file)
        major = glx_major(capture.exchanges(messages))
        if major is None:
            print('no GLX in the capture')
            return 1
        commands = [(opcode, data) for opcode, data in render_commands(messages, major) if opcode in expected and data]
        lines = ''.join('%d %s\n' % (opcode, data.hex()) for opcode, data in commands)
        swapped = subprocess.run([dump], input=lines.encode(), capture_output=True, timeout=60).stdout.decode().split()
    failures = [] if len(swapped) == len(commands) else ['the swapper gave %d answers for %d commands' % (len(swapped), len(commands))]
    seen = set(DEVIATIONS)
    for (opcode, data), out in zip(commands, swapped):
        if opcode in seen:
            continue
        seen.add(opcode)
        for problem in problems_of(data, bytes.fromhex(out), expected[opcode]):
            failures.append('render %d: %s' % (opcode, problem))
    unsent = sorted(set(expected) - seen)
    seen -= set(DEVIATIONS)
    if len(seen) < len(expected) // 2:
        failures.append('too few commands captured')
    for failure in failures:
        print(failure)
    print('%d commands checked; not sent as render commands by the library: %s; not judged: %s'
          % (len(seen), unsent or 'none', sorted(DEVIATIONS)))
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
