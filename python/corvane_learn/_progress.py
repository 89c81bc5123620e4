"""Progress of `fit`, taken from the lines the extension prints.

The extension prints "Start training with N threads..." once and
"Tree [k] is finished!" per tree through `sys.stdout`, from the thread that
called `fit`. While any estimator fits, `sys.stdout` is a router that hands
those lines, from fitting threads only, to that fit's progress display and
passes everything else through to the stream that was there before.
"""

from __future__ import annotations

import re
import sys
import threading
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

_START = re.compile(r"Start training with (\d+) threads\.\.\.")
_TREE = re.compile(r"Tree \[(\d+)\] is finished!")
_PREFIXES = ("Start training with ", "Tree [")


class _Display:
    """Shows finished trees of one fit. Used only by the fitting thread."""

    def __init__(self, total: int, verbose: int) -> None:
        self.total = total
        self.done = 0
        self._bar: Any = None
        self._counter = False
        if verbose <= 0:
            return
        try:
            from tqdm.auto import tqdm
        except ImportError:
            self._counter = True
        else:
            self._bar = tqdm(total=total, desc="trees", unit="tree", file=sys.stderr)

    def start(self, threads: int) -> None:
        if self._bar is not None:
            self._bar.set_postfix_str(f"{threads} threads", refresh=False)
        elif self._counter:
            self._show()

    def tree(self) -> None:
        self.done += 1
        if self._bar is not None:
            self._bar.update(1)
        elif self._counter:
            self._show()

    def _show(self) -> None:
        stream = sys.stderr
        if stream is not None:
            stream.write(f"\rtrees {self.done}/{self.total}")
            stream.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        elif self._counter and sys.stderr is not None:
            sys.stderr.write("\n")
            sys.stderr.flush()


class _Router:
    """Stands in for sys.stdout while fits run.

    Thread-safety: `write` and `flush` may be called from any thread; each
    fitting thread has its own line buffer and display, which only that
    thread touches, and the registry of fitting threads is changed only under
    the module lock (the interpreter lock makes its lookups atomic).
    """

    def __init__(self, target: Any) -> None:
        self._target = target
        self._fits: dict[int, tuple[_Display, list[str]]] = {}

    def __getattr__(self, name: str) -> Any:
        # encoding, isatty, fileno ... answer as the real stream would.
        return getattr(self._target, name)

    def _pass(self, text: str) -> None:
        if self._target is not None and text:
            self._target.write(text)

    def write(self, text: str) -> int:
        entry = self._fits.get(threading.get_ident())
        if entry is None:
            self._pass(text)
            return len(text)
        display, pending = entry
        pending.append(text)
        if "\n" in text:
            *lines, rest = "".join(pending).split("\n")
            pending[:] = [rest] if rest else []
            for line in lines:
                if not _handle(display, line):
                    self._pass(line + "\n")
        return len(text)

    def flush(self) -> None:
        entry = self._fits.get(threading.get_ident())
        if entry is not None:
            _, pending = entry
            text = "".join(pending)
            # A partial progress line waits for its line break; anything else
            # the program printed on this thread goes out now.
            if text and not any(p.startswith(text) or text.startswith(p) for p in _PREFIXES):
                pending.clear()
                self._pass(text)
        if self._target is not None:
            self._target.flush()

    def add(self, display: _Display) -> None:
        self._fits[threading.get_ident()] = (display, [])

    def remove(self) -> None:
        display, pending = self._fits.pop(threading.get_ident())
        text = "".join(pending)
        if text and not _handle(display, text):
            self._pass(text)

    @property
    def idle(self) -> bool:
        return not self._fits

    @property
    def target(self) -> Any:
        return self._target


def _handle(display: _Display, line: str) -> bool:
    match = _TREE.fullmatch(line)
    if match:
        display.tree()
        return True
    match = _START.fullmatch(line)
    if match:
        display.start(int(match.group(1)))
        return True
    return False


_lock = threading.Lock()
_router: _Router | None = None


@contextmanager
def progress(total: int, verbose: int) -> Iterator[_Display]:
    """Routes the extension's progress lines of this thread to a display.

    `total` is the number of trees this fit trains (the extension's tree
    count continues from trees a forest already holds, so the display counts
    lines instead). The first fit to start installs the router and the last
    to end restores the earlier `sys.stdout`, unless the program has replaced
    the router meanwhile.
    """
    global _router
    display = _Display(total, verbose)
    with _lock:
        if _router is None:
            _router = _Router(sys.stdout)
            sys.stdout = _router
        router = _router
        router.add(display)
    try:
        yield display
    finally:
        with _lock:
            router.remove()
            if router.idle:
                if sys.stdout is router:
                    sys.stdout = router.target
                _router = None
        display.close()
