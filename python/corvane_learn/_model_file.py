"""Model files with the estimator's metadata, and model-file text in memory.

The extension writes a forest as one compact JSON object and skips members
it does not know when it reads one back. The estimator adds one member at
the very end, `"corvane_learn": {...}`, holding what the forest itself does
not store (treatment labels, feature kinds, hyper-parameters); a file with
it still loads into `corvane._UpliftRandomForestModel` unchanged, and a
plain file of the extension loads into the estimator.

Since the member is the last one, it is appended by rewriting the file's
final byte and found again by reading the file's tail: the trees are never
read into Python.
"""

from __future__ import annotations

import json
import os
import tempfile
import uuid
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any

import corvane

METADATA_KEY = "corvane_learn"
_MARKER = b',"' + METADATA_KEY.encode() + b'":'
_TAIL_CHUNK = 1 << 16


def is_panic(error: BaseException) -> bool:
    """True for the exception the extension raises when its native code stops."""
    return type(error).__name__ == "PanicException"


def new_model() -> Any:
    """An untrained extension model; `load` replaces all of its settings."""
    return corvane._UpliftRandomForestModel(1, 1, 1, 1, "KL", 2, False, False, 0.5)


def _sibling_temp_path(path: str) -> str:
    directory, base = os.path.split(os.path.abspath(path))
    return os.path.join(directory, f".{base}.{os.getpid()}.{uuid.uuid4().hex}.tmp")


def _remove_quietly(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass


def _save_model(model: Any, path: str) -> None:
    try:
        model.save(path)
    except BaseException as error:
        if is_panic(error):
            raise OSError(f"cannot write model file {path!r}: {error.args[0]}") from None
        raise


def _append_metadata(path: str, metadata: dict[str, Any]) -> None:
    member = _MARKER + json.dumps(metadata, ensure_ascii=False, allow_nan=False,
                                  separators=(",", ":")).encode("utf-8") + b"}"
    with open(path, "r+b") as f:
        f.seek(-1, os.SEEK_END)
        if f.read(1) != b"}":
            raise OSError(f"unexpected model file written at {path!r}")
        f.seek(-1, os.SEEK_END)
        f.write(member)


def write(model: Any, path: str | os.PathLike, metadata: dict[str, Any] | None) -> None:
    """Writes `model`'s model file at `path`, with `metadata` appended when given.

    The file is written next to its target under a temporary name and then
    renamed over it, so a failure leaves any earlier file at `path` intact.
    Raises OSError when the file cannot be written.
    """
    path = os.fspath(path)
    temp = _sibling_temp_path(path)
    try:
        _save_model(model, temp)
        if metadata is not None:
            _append_metadata(temp, metadata)
        os.replace(temp, path)
    except BaseException:
        _remove_quietly(temp)
        raise


def read_metadata(path: str | os.PathLike) -> dict[str, Any] | None:
    """The metadata member of the model file at `path`, or None if it has none.

    Reads the file's tail only, growing it until the member is found or the
    whole file has been seen. The member key can only occur unquoted as a
    key (quotes inside JSON strings are escaped), and ours is the last one.
    """
    with open(path, "rb") as f:
        size = f.seek(0, os.SEEK_END)
        chunk = _TAIL_CHUNK
        while True:
            start = max(0, size - chunk)
            f.seek(start)
            tail = f.read()
            at = tail.rfind(_MARKER)
            if at >= 0:
                body = tail[at + len(_MARKER):].rstrip(b" \t\r\n")
                if not body.endswith(b"}"):
                    raise ValueError(f"model file {os.fspath(path)!r} does not end its object")
                try:
                    value = json.loads(body[:-1].decode("utf-8"))
                except ValueError as error:
                    raise ValueError(
                        f"model file {os.fspath(path)!r} holds unreadable estimator metadata: "
                        f"{error}") from None
                return value if isinstance(value, dict) else None
            if start == 0:
                return None
            chunk *= 4


def load_model(path: str | os.PathLike) -> Any:
    """An extension model read from the model file at `path`.

    Raises the OSError of opening the file, or ValueError when the
    extension refuses its content.
    """
    path = os.fspath(path)
    with open(path, "rb"):
        pass  # a missing or unreadable file raises its own OSError here
    model = new_model()
    try:
        model.load(path)
    except BaseException as error:
        if is_panic(error):
            raise ValueError(f"cannot read model file {path!r}: {error.args[0]}") from None
        raise
    return model


def model_bytes(model: Any, metadata: dict[str, Any] | None = None) -> bytes:
    """The model file of `model` (with `metadata` appended when given) as bytes."""
    with tempfile.TemporaryDirectory(prefix="corvane_learn_") as directory:
        path = os.path.join(directory, "model.json")
        write(model, path, metadata)
        with open(path, "rb") as f:
            return f.read()


@contextmanager
def as_file(data: bytes | str) -> Iterator[str]:
    """Model-file text written to a temporary file; yields its path."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    with tempfile.TemporaryDirectory(prefix="corvane_learn_") as directory:
        path = os.path.join(directory, "model.json")
        with open(path, "wb") as f:
            f.write(data)
        yield path


def model_from_bytes(data: bytes | str) -> Any:
    """An extension model read from model-file text."""
    with as_file(data) as path:
        return load_model(path)


def first_leaf_width(path: str | os.PathLike) -> int:
    """Length of the first leaf's uplift vector: the number of treatments.

    Only needed for plain files of the extension, which do not name their
    treatments; reads the file in chunks until a non-empty "prob" is found.
    """
    key = b'"prob":['
    with open(path, "rb") as f:
        buffer = b""
        while True:
            block = f.read(_TAIL_CHUNK)
            buffer += block
            at = buffer.find(key)
            while at >= 0:
                end = buffer.find(b"]", at)
                if end < 0:
                    break
                inner = buffer[at + len(key):end].strip()
                if inner:
                    return inner.count(b",") + 1
                at = buffer.find(key, end)
            if not block:
                return 0
            if at < 0:
                buffer = buffer[-len(key):]
            else:
                buffer = buffer[at:]
