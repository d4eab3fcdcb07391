import pytest

ARG_TYPE = "Argument '{}' has incorrect type (expected {}, got {})"


@pytest.fixture
def arg_type_message():
    return ARG_TYPE.format
