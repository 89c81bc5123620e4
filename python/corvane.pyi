# Type information for the corvane extension module (for editors and type
# checkers; the module itself is native code).
from collections.abc import Sequence

__all__: list[str]

class _UpliftRandomForestModel:
    def __new__(
        cls,
        n_estimators: int,
        max_features: int,
        max_depth: int,
        min_sample_leaf: int,
        eval_func: str,
        max_bins: int,
        balance: bool,
        regularization: bool,
        alpha: float,
    ) -> _UpliftRandomForestModel: ...
    def load(self, path: str) -> None: ...
    def fit(
        self,
        data: dict[str, list[float | int | bool | str]],
        x_names: Sequence[str],
        treatment_col: str,
        outcome_col: str,
        n_threads: int,
    ) -> None: ...
    def predict(self, data: Sequence[list[float | int | str]], n_threads: int) -> list[list[float]]: ...
    def predict_row(self, x: list[float | int | str]) -> list[float]: ...
    def save(self, path: str) -> None: ...
    def feature_cols(self) -> list[str]: ...
    def get_feature_importance(self, importance_type: str) -> list[float]: ...
