"""Helpers shared by the test modules (fixtures stay in conftest.py)."""

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


class Child:
    """A Python child process that reports progress in stdout lines; killed after `limit` s."""

    def __init__(self, script: str, limit: float = 30.0):
        self.process = subprocess.Popen(
            [sys.executable, "-c", textwrap.dedent(script)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        # A hanging child is killed, which ends any read of its output.
        self.watchdog = threading.Timer(limit, self.process.kill)
        self.watchdog.start()

    def expect(self, word: str) -> list[str]:
        """Reads the next line, checks its first field, returns the others."""
        line = self.process.stdout.readline()
        if line.split()[:1] != [word]:
            self.process.kill()
            pytest.fail(f"expected {word!r}, got {line!r}; {self.process.stderr.read()[-2000:]}")
        return line.split()[1:]

    def send(self, line: str) -> None:
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()

    def signal(self, signum: int) -> float:
        """Sends `signum`; returns the monotonic time (shared by all processes) just before."""
        sent = time.monotonic()
        self.process.send_signal(signum)
        return sent

    def finish(self) -> int:
        self.process.stdin.close()
        return self.process.wait()
