"""The source tree keeps its layers: the base knows neither the transport nor the feature
model, and the transport does not know the feature model."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parents[2] / "src"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def includes(path):
    return INCLUDE.findall(path.read_text(encoding="utf-8"))


@pytest.mark.parametrize(
    "files, forbidden",
    [
        (sorted(SRC.glob("*.hpp")) + sorted(SRC.glob("*.cpp")), ("gige/", "genicam/")),
        (sorted((SRC / "gige").rglob("*.[hc]pp")), ("genicam/",)),
    ],
    ids=["base", "transport"],
)
def test_lower_layers_do_not_include_upper_ones(files, forbidden):
    assert files
    bad = [
        f"{f.relative_to(SRC)} includes {inc}"
        for f in files
        for inc in includes(f)
        if inc.startswith(forbidden)
    ]
    assert bad == []
