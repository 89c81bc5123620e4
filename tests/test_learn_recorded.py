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
    # The recording kept NaN where a leaf missed some group's rows; such a
    # leaf now takes its nearest ancestor's values (all of them), and nothing
    # else changed: rows that never met one are the same, bit for bit.
    recorded_nan = False
    for what in ("uplift", "spread", "response", "gain", "split"):
        key = f"{name}/{what}"
        recorded = RECORDED[key]
        met = np.isnan(recorded.reshape(len(recorded), -1)).any(axis=1)
        recorded_nan |= bool(met.any())
        np.testing.assert_array_equal(outputs[key][~met], recorded[~met], err_msg=key)
        assert np.isfinite(outputs[key]).all(), key
    if not recorded_nan:
        assert str(outputs[f"{name}/file_sha256"]) == str(RECORDED[f"{name}/file_sha256"])


def test_ties_between_features_never_depend_on_threads():
    # Two copies of one feature tie at every split: the node's record must
    # not keep whichever job happened to finish first.
    rng = np.random.default_rng(4)
    x = rng.normal(size=4000)
    t = rng.integers(0, 2, size=4000)
    y = (rng.random(4000) < 0.2 + 0.2 * (x > 0) * t).astype(int)
    X = {"a": x, "b": x.copy(), "c": x.copy()}

    def fit(n_jobs):
        from corvane_learn import UpliftForestClassifier

        est = UpliftForestClassifier(n_estimators=8, max_features=None, max_depth=6,
                                     min_samples_leaf=20, random_state=5, n_jobs=n_jobs)
        return est.fit(X, y, treatment=t)

    first = fit(1)
    # The copies do tie: the roots split on more than one of them.
    assert len({first.forest_.tree(i)["features"][0] for i in range(8)}) > 1
    for n_jobs in (2, 2, 4, 4, 4):
        assert fit(n_jobs).forest_.to_bytes(b"{}") == first.forest_.to_bytes(b"{}")
