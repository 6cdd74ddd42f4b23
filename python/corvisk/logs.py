"""The library's own log records (connects, register writes, resends, stream faults ...) in
Python's :mod:`logging`.

    >>> import logging, corvisk
    >>> logging.basicConfig()
    >>> corvisk.enable_logging(logging.DEBUG)      # or: CORVISK_LOG=debug python app.py

Records come from worker threads too, which never touch Python: the library queues them
(bounded; what does not fit is counted and reported as one warning) and one thread,
``corvisk-log``, hands them to the loggers named after their origin: ``corvisk.gige``,
``corvisk.gige.stream.runner``, ``corvisk.genicam`` ... Each record's named values are in the
message and, as a dict, in the record's ``corvisk_fields`` attribute.
"""

from __future__ import annotations

import atexit
import logging
import os
import sys
import threading
from typing import Optional, Union

from . import _corvisk_ext

#: Below DEBUG: every register access and packet-level event.
TRACE = 5
logging.addLevelName(TRACE, "TRACE")

_NAMES = {"trace": TRACE, "debug": logging.DEBUG, "info": logging.INFO,
          "warning": logging.WARNING, "warn": logging.WARNING, "error": logging.ERROR}
_PYTHON_LEVEL = (TRACE, logging.DEBUG, logging.WARNING, logging.ERROR)  # by the library's level
_TAKE_SLICE = 0.25  # seconds; records are handed on as soon as they come


def _python_level(level: Union[int, str]) -> int:
    if isinstance(level, str):
        try:
            return _NAMES[level.lower()]
        except KeyError:
            raise ValueError(f"unknown log level {level!r}; use one of "
                             f"{', '.join(sorted(_NAMES))}") from None
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError(f"log level must be an int or a name, not {type(level).__name__}")
    if level < 0:
        raise ValueError(f"log level must not be negative, got {level}")
    return level


def _library_level(level: int) -> int:
    """The lowest of the library's levels (0 trace .. 3 error) that `level` lets through."""
    for index, python_level in enumerate(_PYTHON_LEVEL):
        if level <= python_level:
            return index
    return len(_PYTHON_LEVEL) - 1


def _text(message: str, fields: dict) -> str:
    if not fields:
        return message
    return f"{message} [{' '.join(f'{k}={v}' for k, v in fields.items())}]"


class _Forwarder:
    """One tap on the library's records and the thread that logs them."""

    def __init__(self, level: int, capacity: int) -> None:
        self._tap = _corvisk_ext.LogTap(_library_level(level), capacity)
        self._reported = 0
        self._thread = threading.Thread(target=self._run, name="corvisk-log", daemon=True)
        self._thread.start()

    def _run(self) -> None:
        while (records := self._tap.take(_TAKE_SLICE)) is not None:
            for level, target, message, fields in records:
                logger = logging.getLogger(target.replace("::", "."))
                python_level = _PYTHON_LEVEL[level]
                if logger.isEnabledFor(python_level):
                    logger.log(python_level, "%s", _text(message, fields),
                               extra={"corvisk_fields": fields})
            self._report_drops()
        self._report_drops()

    def _report_drops(self) -> None:
        dropped = self._tap.dropped()
        if dropped > self._reported:
            logging.getLogger("corvisk").warning(
                "%d log records were dropped: the queue was full", dropped - self._reported)
            self._reported = dropped

    def stop(self) -> None:
        self._tap.close()  # the thread logs what is still queued, then ends
        self._thread.join()


_lock = threading.Lock()
_forwarder: Optional[_Forwarder] = None


def enable_logging(level: Union[int, str] = logging.DEBUG, *, capacity: int = 10000) -> None:
    """Passes the library's records of at least ``level`` (a logging level, ``TRACE``, or a
    name such as ``"debug"``) to the ``corvisk.*`` loggers, and sets the ``corvisk`` logger's
    level to it when it has none. ``capacity`` bounds the records waiting to be logged.
    Calling it again changes the level; ``disable_logging()`` ends it."""
    python_level = _python_level(level)
    if isinstance(capacity, bool) or not isinstance(capacity, int) or capacity < 1:
        raise ValueError(f"capacity must be a positive int, got {capacity!r}")
    global _forwarder
    with _lock:
        previous, _forwarder = _forwarder, _Forwarder(python_level, capacity)
        if previous is not None:
            previous.stop()  # its tap was replaced: it logs what it holds and ends
    root = logging.getLogger("corvisk")
    if root.level == logging.NOTSET:
        root.setLevel(python_level)


def disable_logging() -> None:
    """Stops passing records on (those already queued are still logged). Idempotent."""
    global _forwarder
    with _lock:
        forwarder, _forwarder = _forwarder, None
    if forwarder is not None:
        forwarder.stop()


atexit.register(disable_logging)


def _enable_from_environment() -> None:
    """CORVISK_LOG=trace|debug|warning|error: logging from import, to stderr when the program
    has configured no logging of its own."""
    wanted = os.environ.get("CORVISK_LOG", "").strip()
    if not wanted:
        return
    try:
        level = _python_level(wanted)
    except ValueError as e:
        print(f"corvisk: CORVISK_LOG ignored: {e}", file=sys.stderr)
        return
    logger = logging.getLogger("corvisk")
    if not logging.getLogger().handlers and not logger.handlers:
        handler = logging.StreamHandler()
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        logger.addHandler(handler)
    logger.setLevel(level)
    enable_logging(level)
