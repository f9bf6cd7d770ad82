import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest


def header(flags=1, dtype=1, ndim=1, version=4, reserved=0):
    """The fixed header of a packet."""
    if version == 3:
        return b"VMRA" + bytes([3, flags & 0xFF, dtype, ndim])
    return b"VMRA" + bytes([version]) + struct.pack("<H", flags) + bytes([dtype, ndim, reserved])


@pytest.fixture
def make_header():
    return header


class Child:
    """A Python child process spoken to line by line, killed if it outlives `limit` seconds.

    The child writes progress lines to stdout; `expect` reads the next one. Every
    read ends: a child that hangs is killed by the watchdog, which closes its output.
    """

    def __init__(self, script: str, limit: float = 30.0):
        self.process = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(script)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        self.watchdog = threading.Timer(limit, self.process.kill)
        self.watchdog.start()

    def expect(self, word: str) -> list[str]:
        """Reads the next line, checks that it starts with `word`, returns its fields."""
        line = self.process.stdout.readline()
        fields = line.split()
        assert fields[:1] == [word], f"expected {word!r}, got {line!r}; {self.stderr()}"
        return fields[1:]

    def send(self, line: str) -> None:
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def signal(self, signum: int) -> float:
        """Sends `signum`; returns the monotonic time just before (shared by all processes)."""
        sent = time.monotonic()
        self.process.send_signal(signum)
        return sent

    def stderr(self) -> str:
        try:
            self.process.wait(5)  # the output ended: the child is ending or was killed
        except subprocess.TimeoutExpired:
            return "(still running)"
        return self.process.stderr.read()[-2000:]

    def finish(self) -> int:
        """Waits for the end (the watchdog bounds it) and returns the exit status."""
        self.process.stdin.close()
        status = self.process.wait()
        self.watchdog.cancel()
        self.process.stdout.close()
        self.process.stderr.close()
        return status


@pytest.fixture
def child():
    """Starts Child processes and kills any still running when the test ends."""
    started = []

    def start(script: str, limit: float = 30.0) -> Child:
        started.append(Child(script, limit))
        return started[-1]

    yield start
    for process in started:
        process.watchdog.cancel()
        if process.process.poll() is None:
            process.process.kill()
            process.process.wait()
