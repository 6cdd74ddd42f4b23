#!/usr/bin/env python3
"""Structure checks over src/: the layering of includes and the length of functions.

    scripts/check_structure.py [--max-lines N] [--root DIR]

Layers, bottom to top: the base units at the top of src/ (errors, handles, threads, queue,
poller, log, ...), the transport in src/gige, the feature model in src/genicam. A unit may include
only its own layer and the ones below, so:

  - the base files src/*.hpp and src/*.cpp include nothing from src/gige or src/genicam;
  - nothing in src/gige includes anything from src/genicam.

Every function body in src/ must be shorter than --max-lines lines (default 60), counted from the
line of its opening brace to the line of its closing brace. Lambdas and local classes count as
part of the function that holds them.

Prints every offender as "file:line: what" and exits 1 when there is one, 0 otherwise.
"""

from __future__ import annotations

import argparse
import re
import sys
from dataclasses import dataclass
from pathlib import Path

SOURCE_SUFFIXES = (".hpp", ".cpp", ".h", ".cc")
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include\s*"([^"]+)"', re.MULTILINE)
CONTAINER = re.compile(r"^(?:template\s*<.*>\s*)?(?:namespace|class|struct|union|enum)\b|"
                       r'^extern\s+"C"', re.DOTALL)


@dataclass(frozen=True)
class Offence:
    path: Path
    line: int
    text: str

    def render(self, root: Path) -> str:
        return f"{self.path.relative_to(root)}:{self.line}: {self.text}"


# ---- include layering ------------------------------------------------------------------------

def _layer(path: Path, src: Path) -> str:
    parts = path.relative_to(src).parts
    return "base" if len(parts) == 1 else parts[0]


def _include_target(include: str) -> str:
    first = include.split("/", 1)[0]
    return first if "/" in include else "base"


FORBIDDEN = {"base": {"gige", "genicam"}, "gige": {"genicam"}}


def include_offences(src: Path) -> list[Offence]:
    found = []
    for path in sorted(p for p in src.rglob("*") if p.suffix in SOURCE_SUFFIXES):
        forbidden = FORBIDDEN.get(_layer(path, src), set())
        text = path.read_text(errors="replace")
        for match in INCLUDE.finditer(text):
            if _include_target(match.group(1)) in forbidden:
                line = text.count("\n", 0, match.start()) + 1
                found.append(Offence(path, line, f'includes "{match.group(1)}" '
                                     f"(from {_layer(path, src)} into a higher layer)"))
    return found


# ---- function length -------------------------------------------------------------------------

def blank_out(code: str) -> str:
    """The code with comments, string and character literals and preprocessor lines replaced by
    spaces; newlines are kept so offsets still map to the same lines."""
    out = list(code)
    i, n = 0, len(code)
    at_line_start = True

    def blank(start: int, end: int) -> None:
        for k in range(start, min(end, n)):
            if out[k] != "\n":
                out[k] = " "

    while i < n:
        c = code[i]
        if at_line_start and c == "#":  # preprocessor line, with its continuations
            j = i
            while j < n and not (code[j] == "\n" and code[j - 1] != "\\"):
                j += 1
            blank(i, j)
            i = j
            continue
        if c == "\n":
            at_line_start = True
            i += 1
            continue
        if not c.isspace():
            at_line_start = False
        if code.startswith("//", i):
            j = code.find("\n", i)
            j = n if j < 0 else j
            blank(i, j)
            i = j
        elif code.startswith("/*", i):
            j = code.find("*/", i + 2)
            j = n if j < 0 else j + 2
            blank(i, j)
            i = j
        elif c == '"' and i > 0 and code[i - 1] == "R":  # raw string R"delim( ... )delim"
            open_paren = code.find("(", i)
            delim = code[i + 1:open_paren]
            j = code.find(")" + delim + '"', open_paren)
            j = n if j < 0 else j + len(delim) + 2
            blank(i, j)
            i = j
        elif c == '"' or (c == "'" and not _is_digit_separator(code, i)):
            j = i + 1
            while j < n and code[j] != c and code[j] != "\n":
                j += 2 if code[j] == "\\" else 1
            blank(i, j + 1)
            i = j + 1
        else:
            i += 1
    return "".join(out)


def _is_digit_separator(code: str, i: int) -> bool:
    return (i > 0 and code[i - 1].isalnum() and i + 1 < len(code) and code[i + 1].isalnum()
            and re.search(r"(?<![\w.])\d[\w']*$", code[max(0, i - 40):i]) is not None)


def _statement_head(code: str, brace: int) -> str:
    """The text before `brace` back to the previous ';', '{' or '}' outside parentheses."""
    depth = 0
    j = brace - 1
    while j >= 0:
        c = code[j]
        if c in ")]":
            depth += 1
        elif c in "([":
            depth -= 1
        elif depth == 0 and c in ";{}":
            # A brace initialiser in a constructor's member list (`x_{1}, y_(2) {`) belongs to
            # the head; skip over it.
            if c == "}" and _member_init_brace(code, j):
                j = _matching_open(code, j) - 1
                continue
            break
        j -= 1
    return code[j + 1:brace].strip()


def _member_init_brace(code: str, close: int) -> bool:
    opening = _matching_open(code, close)
    before = code[:opening].rstrip()
    return bool(re.search(r"[:,]\s*\w+$", before)) and not re.search(r"\)\s*$", before)


def _matching_open(code: str, close: int) -> int:
    depth = 0
    for j in range(close, -1, -1):
        if code[j] == "}":
            depth += 1
        elif code[j] == "{":
            depth -= 1
            if depth == 0:
                return j
    return 0


def _is_function_head(head: str) -> bool:
    if not head or CONTAINER.search(head):
        return False
    if re.match(r"^(?:if|for|while|switch|do|else|try|catch|return)\b", head):
        return False
    if re.search(r"(?:(?<!:):(?!:)|,)\s*[A-Za-z_]\w*$", head):
        return False  # a member's brace initialiser in a constructor: `A() : x_{1}`
    flat = head
    while (inner := re.sub(r"\((?!\))[^()]*\)", "()", flat)) != flat:  # collapse groups
        flat = inner
    before_paren = flat.split("(", 1)[0]
    if "=" in before_paren and "operator" not in before_paren:
        return False  # an initialiser: `int x[] = {`, `auto f = [..](..) {`
    return "(" in flat


def _matching_close(code: str, opening: int) -> int:
    depth = 0
    for j in range(opening, len(code)):
        if code[j] == "{":
            depth += 1
        elif code[j] == "}":
            depth -= 1
            if depth == 0:
                return j
    return len(code) - 1


def function_lengths(code: str) -> list[tuple[int, int, str]]:
    """(first line of the head, body length in lines, name) of every function in the code."""
    clean = blank_out(code)
    found = []
    i = 0
    while (i := clean.find("{", i)) >= 0:
        head = _statement_head(clean, i)
        if not _is_function_head(head):
            i += 1
            continue
        end = _matching_close(clean, i)
        start_line = clean.count("\n", 0, i) + 1
        end_line = clean.count("\n", 0, end) + 1
        head_start = clean.rfind(head.split("\n", 1)[0], 0, i)
        head_line = clean.count("\n", 0, head_start) + 1
        name = re.findall(r"([~\w:]+(?:operator\s*\S+)?)\s*\(", head)
        found.append((head_line, end_line - start_line + 1, name[0] if name else head[:40]))
        i = end + 1
    return found


def length_offences(src: Path, max_lines: int) -> list[Offence]:
    found = []
    for path in sorted(p for p in src.rglob("*") if p.suffix in SOURCE_SUFFIXES):
        for line, length, name in function_lengths(path.read_text(errors="replace")):
            if length >= max_lines:
                found.append(Offence(path, line, f"{name} is {length} lines "
                                     f"(limit: under {max_lines})"))
    return found


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--root", type=Path, default=Path(__file__).resolve().parents[1],
                        help="repository root (default: this script's repository)")
    parser.add_argument("--max-lines", type=int, default=60,
                        help="function bodies must be shorter than this (default: 60)")
    args = parser.parse_args(argv)
    root = args.root.resolve()
    src = root / "src"
    offences = include_offences(src) + length_offences(src, args.max_lines)
    for offence in offences:
        print(offence.render(root))
    if offences:
        print(f"{len(offences)} structure offence(s)", file=sys.stderr)
        return 1
    print("structure checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
