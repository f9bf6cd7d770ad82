import os

import pytest
from helpers import Child, header


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
