"""Uplift random forests as a scikit-learn estimator.

`UpliftForestClassifier` (0/1 outcomes) and `UpliftForestRegressor`
(real-valued outcomes such as revenue) train and predict through their own
native module
(`corvane_learn._core`, built from the same core as the `corvane`
extension): arrays in, arrays out, seeded by `random_state`.
`corvane_learn.metrics` evaluates uplift scores (uplift and Qini curves,
AUUC, Qini coefficient, uplift at k, response rates by percentile, uplift by
decile) and makes scikit-learn scorers of them; `corvane_learn.plot` draws
them (needs matplotlib: ``pip install corvane[plot]``);
`corvane_learn.inspection` (scikit-learn's word for it; the module is
`corvane_learn.insight`) gives permutation importance and exact Shapley
values of the uplift, and shows trees.
`merge_forests` joins the trees of several fitted estimators into one, and
`corvane_learn.dask` (imported on its own: ``import corvane_learn.dask``,
needs ``pip install corvane[dask]``) trains and predicts on a Dask cluster.
"""

import sys

from . import insight, metrics, plot
from ._convert import MISSING_CATEGORY
from ._estimator import UpliftForestClassifier, UpliftForestRegressor
from ._merge import merge_forests

# Importable under the name scikit-learn users look for.
inspection = insight
sys.modules[__name__ + ".inspection"] = insight

__version__ = "0.2.0"
__all__ = ["MISSING_CATEGORY", "UpliftForestClassifier", "UpliftForestRegressor", "__version__",
           "insight", "inspection",
           "merge_forests", "metrics", "plot"]
