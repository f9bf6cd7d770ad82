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
