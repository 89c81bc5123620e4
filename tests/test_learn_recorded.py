"""Seeded fits give, bit for bit, the outputs recorded before the core was
reorganised (tests/data/record_fits.py made the recording)."""

import pathlib
import sys

import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).parent / "data"))
import record_fits  # noqa: E402

RECORDED = np.load(pathlib.Path(__file__).parent / "data" / "recorded_fits.npz")


@pytest.fixture(scope="module")
def outputs():
    return record_fits.outputs()


@pytest.mark.parametrize("name", [name for name, _ in record_fits.CONFIGS])
def test_seeded_fit_matches_recording(outputs, name):
    for what in ("uplift", "spread", "response", "gain", "split"):
        key = f"{name}/{what}"
        np.testing.assert_array_equal(outputs[key], RECORDED[key], err_msg=key)
    assert str(outputs[f"{name}/file_sha256"]) == str(RECORDED[f"{name}/file_sha256"])
