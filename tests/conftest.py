import pytest
from helpers import header


@pytest.fixture
def make_header():
    return header
