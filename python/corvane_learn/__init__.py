"""Uplift random forests with scikit-learn conventions.

`UpliftForestClassifier` wraps the native forest of the `corvane`
extension; `corvane_learn.metrics` evaluates uplift scores (uplift and Qini
curves, AUUC, Qini coefficient, uplift by decile) and `corvane_learn.plot`
draws them (needs matplotlib: ``pip install corvane[plot]``).
`merge_forests` joins the trees of several fitted estimators into one, and
`corvane_learn.dask` (imported on its own: ``import corvane_learn.dask``,
needs ``pip install corvane[dask]``) trains and predicts on a Dask cluster.
"""

from . import metrics, plot
from ._convert import MISSING_CATEGORY
from ._estimator import UpliftForestClassifier
from ._merge import merge_forests

__version__ = "0.1.0"
__all__ = ["MISSING_CATEGORY", "UpliftForestClassifier", "__version__", "merge_forests", "metrics",
           "plot"]
