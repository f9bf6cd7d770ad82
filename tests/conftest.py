import os
import signal

import pytest
from helpers import Child, header

# A shell without job control starts background commands with SIGINT ignored,
# and every child inherits that: Python then never raises KeyboardInterrupt.
# The tests of Ctrl-C need it raised, in this process and in the children
# they start, however the test command was launched.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


@pytest.fixture
def make_header():
    return header


@pytest.fixture
def child():
    """Starts Child processes; none outlives the test."""
    started = []
    yield lambda script: started.append(Child(script)) or started[-1]
    for process in started:
        process.watchdog.cancel()
        process.process.kill()
        process.process.wait()
        for stream in (process.process.stdin, process.process.stdout, process.process.stderr):
            stream.close()


@pytest.fixture
def name(request):
    """A shared-memory channel name of this test's own; the segment is removed afterwards."""
    label = f"vamra-test-{os.getpid()}-{abs(hash(request.node.nodeid)) % 10**8}"
    yield label
    try:
        os.unlink(f"/dev/shm/{label}")
    except FileNotFoundError:
        pass
