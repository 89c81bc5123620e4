"""Run by wheel_check.sh with the interpreter of a fresh environment that has
only the repaired wheel (and its dependencies) installed, while the system's
mimalloc is hidden: every native module of the wheel loads, both the
extension and the estimator train and predict, and the allocator in use is
the copy inside the wheel."""
import importlib
import importlib.metadata
import pathlib
import sys

import numpy as np

import corvane
from corvane_learn import UpliftForestClassifier

dist = importlib.metadata.distribution("corvane")
site = pathlib.Path(dist.locate_file("")).resolve()
# The vendored libraries live in <package>.libs/; everything else is a module.
native = sorted(f for f in dist.files
                if f.name.endswith(".so") and not f.parts[0].endswith(".libs"))
assert native, "the wheel holds no native module"
for file in native:
    path = pathlib.Path(dist.locate_file(file)).resolve()
    name = ".".join(file.parts[:-1] + (file.name.split(".")[0],))
    module = importlib.import_module(name)
    loaded = pathlib.Path(module.__file__).resolve()
    assert loaded == path, f"{name} came from {loaded}, not from the installed wheel"
    print(f"imported {name} from {loaded}")

rng = np.random.default_rng(3)
n = 4000
x = rng.random((n, 3))
treatment = rng.integers(0, 2, n)
y = (rng.random(n) < 0.2 + 0.4 * treatment * (x[:, 0] > 0.5)).astype(int)

model = corvane._UpliftRandomForestModel(
    n_estimators=5, max_features=3, max_depth=3, min_sample_leaf=50, eval_func="ED",
    max_bins=10, balance=False, regularization=False, alpha=0.5)
columns = {f"x{i}": x[:, i].tolist() for i in range(3)}
model.fit(dict(columns, t=treatment.tolist(), y=y.tolist()), list(columns), "t", "y", -1)
direct = np.array(model.predict(x.tolist(), -1))
assert direct.shape == (n, 1), direct.shape

forest = UpliftForestClassifier(n_estimators=5, max_features=None, max_depth=3, min_samples_leaf=50,
                                criterion="ED")
forest.fit(x, y=y, treatment=treatment)
uplift = forest.predict(x)
assert uplift.shape == (n, 1), uplift.shape
# Every split may use every feature, so the planted uplift (0.4 where
# x0 > 0.5) must show, or the forests learned nothing.
for scores in (direct[:, 0], uplift[:, 0]):
    assert scores[x[:, 0] > 0.5].mean() > scores[x[:, 0] <= 0.5].mean() + 0.2

mapped = {line.split()[-1] for line in open("/proc/self/maps") if "libmimalloc" in line}
assert mapped and all(pathlib.Path(p).resolve().is_relative_to(site) for p in mapped), mapped
print(f"trained and predicted with corvane and corvane_learn; mimalloc from {', '.join(mapped)}")
print(f"python {sys.version.split()[0]}, {len(native)} native module(s)")
