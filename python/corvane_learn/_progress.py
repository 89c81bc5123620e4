"""Progress of `fit`: a bar (tqdm when installed) or a one-line counter of finished trees.

The native training calls the display once per finished tree, on the thread
that called `fit`.
"""

from __future__ import annotations

import sys
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any


class _Display:
    """Shows finished trees of one fit. Used only by the fitting thread."""

    def __init__(self, total: int) -> None:
        self.total = total
        self._bar: Any = None
        try:
            from tqdm.auto import tqdm
        except ImportError:
            self._show(0)
        else:
            self._bar = tqdm(total=total, desc="trees", unit="tree", file=sys.stderr)

    def update(self, done: int, total: int) -> None:
        if self._bar is not None:
            self._bar.update(done - self._bar.n)
        else:
            self._show(done)

    def _show(self, done: int) -> None:
        stream = sys.stderr
        if stream is not None:
            stream.write(f"\rtrees {done}/{self.total}")
            stream.flush()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
        elif sys.stderr is not None:
            sys.stderr.write("\n")
            sys.stderr.flush()


@contextmanager
def progress(total: int, verbose: int) -> Iterator[Callable[[int, int], None] | None]:
    """The callback for the native training: None when `verbose` is 0."""
    if verbose <= 0:
        yield None
        return
    display = _Display(total)
    try:
        yield display.update
    finally:
        display.close()
