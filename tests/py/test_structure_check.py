"""The structure checker of scripts/check_structure.py on small trees and snippets it must get
right: braces inside strings, comments, raw strings and character literals, digit separators,
constructor initialiser lists, lambdas, and the include layering."""

import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "scripts"))

import check_structure  # noqa: E402


def body(lines: int) -> str:
    return "".join(f"    x += {i};\n" for i in range(lines - 2))


@pytest.mark.parametrize("snippet, expected", [
    ("int f() {\n" + body(5) + "}\n", [("f", 5)]),
    # braces in strings, characters, comments and raw strings are not code
    ('int f() {\n  const char* s = "}}}{";\n  char c = \'}\';\n  // }\n  /* } */\n'
     '  auto r = R"x(})x";\n}\nint g() {\n}\n', [("f", 7), ("g", 2)]),
    # a digit separator is not a character literal
    ("int f() {\n  return 600'000;\n}\nint g() { return 1'0; }\n", [("f", 3), ("g", 1)]),
    # a constructor's brace initialisers belong to its head; lambdas to their function
    ("struct A {\n  A() : x_{1}, y_(2) {\n    auto l = [] {\n      return 1;\n    };\n  }\n"
     "  int x_, y_;\n};\n", [("A", 5)]),
    # initialisers, namespaces, classes and enums are no functions
    ("namespace n {\nint t[] = {1, 2};\nenum class E { a, b };\nclass C {\n  void m() const {\n"
     "  }\n};\n}  // namespace n\n", [("m", 2)]),
    ('extern "C" {\nvoid f(void) {\n}\n}\n#define M(x) do { x; } while (0)\n', [("f", 2)]),
])
def test_function_lengths(snippet, expected):
    found = [(name.split("::")[-1], length)
             for _, length, name in check_structure.function_lengths(snippet)]
    assert found == expected


def write(tree: Path, files: dict[str, str]) -> None:
    for name, text in files.items():
        path = tree / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)


def run(root: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(ROOT / "scripts" / "check_structure.py"),
                           "--root", str(root), *args], capture_output=True, text=True,
                          timeout=60)


def test_a_clean_tree_passes(tmp_path):
    write(tmp_path, {"src/base.hpp": "#pragma once\n",
                     "src/gige/a.hpp": '#include "base.hpp"\n',
                     "src/genicam/b.hpp": '#include "gige/a.hpp"\n#include "base.hpp"\n'})
    r = run(tmp_path)
    assert r.returncode == 0, r.stdout
    assert "structure checks passed" in r.stdout


def test_offenders_are_named_with_file_and_line(tmp_path):
    write(tmp_path, {
        "src/error.hpp": '#pragma once\n#include "gige/proto/gvcp.hpp"\n',
        "src/thread.cpp": '#include "genicam/node.hpp"\n',
        "src/gige/port.hpp": '#pragma once\n\n#include "genicam/port.hpp"\n',
        "src/genicam/long.cpp": "\nint long_one() {\n" + body(60) + "}\nint ok() {\n"
                                + body(59) + "}\n",
    })
    r = run(tmp_path)
    assert r.returncode == 1
    assert r.stdout.splitlines() == [
        'src/error.hpp:2: includes "gige/proto/gvcp.hpp" (from base into a higher layer)',
        'src/gige/port.hpp:3: includes "genicam/port.hpp" (from gige into a higher layer)',
        'src/thread.cpp:1: includes "genicam/node.hpp" (from base into a higher layer)',
        "src/genicam/long.cpp:2: long_one is 60 lines (limit: under 60)",
    ]
    assert run(tmp_path, "--max-lines", "61").stdout.count("lines (limit") == 0
