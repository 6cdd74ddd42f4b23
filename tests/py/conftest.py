"""Shared fixtures: the compiled core, and network namespaces for anything that broadcasts."""

import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))

from netns import NetnsLab, netns_unavailable_reason  # noqa: E402

_netns_reason = None
_netns_probed = False


@pytest.fixture
def lab():
    """A NetnsLab whose namespaces, links and processes are removed after the test."""
    global _netns_probed, _netns_reason
    if not _netns_probed:
        _netns_reason, _netns_probed = netns_unavailable_reason(), True
    if _netns_reason:
        pytest.skip(_netns_reason)
    lab = NetnsLab()
    try:
        yield lab
    finally:
        lab.close()
