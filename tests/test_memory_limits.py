"""Out of memory is an exception, never the end of the process: a child whose
address space is capped meets it in training threads, pool workers,
prediction threads and the file reader, and leaves normally."""
import json
import subprocess
import sys

import pytest

from conftest import fit, make_data, needs_plain_address_space, new_model, saved_text

pytestmark = needs_plain_address_space

# Caps the child's address space at what it uses after start-up plus a
# margin, runs `body`, and prints one JSON line with what it saw.
PREAMBLE = r'''
import json, random, resource, sys
import corvane

def outcome(call):
    try:
        call()
        return "ok"
    except BaseException as e:
        return "%s: %s" % (type(e).__name__, e)

def cap(margin_mb):
    for line in open("/proc/self/status"):
        if line.startswith("VmSize"):
            limit = int(line.split()[1]) * 1024 + (margin_mb << 20)
    resource.setrlimit(resource.RLIMIT_AS, (limit, limit))

def model(n_estimators=2, max_features=1, max_depth=3, min_sample_leaf=1, max_bins=10):
    return corvane._UpliftRandomForestModel(n_estimators, max_features, max_depth,
                                            min_sample_leaf, "ED", max_bins, False, False, 0.5)

rng = random.Random(5)
small = {"x": [rng.random() for _ in range(400)], "t": [i % 2 for i in range(400)],
         "y": [rng.randint(0, 1) for _ in range(400)]}
'''

MEMORY = "PanicException: memory allocation failed"


def run_child(body, *args):
    done = subprocess.run([sys.executable, "-c", PREAMBLE + body, *map(str, args)],
                          capture_output=True, text=True, timeout=300)
    # A negative code is death by a signal (abort, kill): the fault itself.
    assert done.returncode == 0, (done.returncode, done.stderr[-2000:])
    return json.loads(done.stdout.splitlines()[-1])


FIT = r'''
# 10,000 treatment groups of 2 rows and every distinct value a threshold: the
# split counts of one node need 20,001 x 20,000 x 4 bytes, twice the cap.
# (The threads' stacks and heaps take a few hundred MB of address space.)
n = 20000
data = {"x": [rng.random() for _ in range(n)], "t": [i % 10000 for i in range(n)],
        "y": [i % 2 for i in range(n)]}
m = model(max_bins=10**6)
cap(800)
seen = {"fit": outcome(lambda: m.fit(data, ["x"], "t", "y", 2)),
        "after": outcome(m.feature_cols)}
print(json.dumps(seen))
'''


def test_fit_out_of_memory_raises_and_keeps_the_model():
    seen = run_child(FIT)
    assert seen["fit"] == MEMORY
    # No tree was kept: the model is as new.
    assert seen["after"] == "PanicException: called `Option::unwrap()` on a `None` value"


PREDICT = r'''
m = model()
m.fit(small, ["x"], "t", "y", 1)
before = m.predict_row([0.25])
rows = [[0.25]] * 3000000
cap(150)
seen = {"predict": outcome(lambda: m.predict(rows, int(sys.argv[1])))}
seen["after"] = m.predict_row([0.25]) == before
print(json.dumps(seen))
'''


@pytest.mark.parametrize("n_threads", [1, 2])
def test_predict_out_of_memory_raises(n_threads):
    assert run_child(PREDICT, n_threads) == {"predict": MEMORY, "after": True}


LOAD = r'''
m = model()
m.fit(small, ["x"], "t", "y", 1)
before = m.predict_row([0.25])
cap(150)
seen = {"load": outcome(lambda: m.load(sys.argv[1]))}
seen["after"] = m.predict_row([0.25]) == before
print(json.dumps(seen))
'''


def test_load_out_of_memory_raises_and_keeps_the_model(tmp_path):
    # A well-formed model file whose one leaf holds 20 million uplifts: the
    # text fits the cap, the numbers read from it do not.
    path = tmp_path / "big.json"
    m = new_model(n_estimators=1, max_depth=0)
    fit(m, make_data(200, seed=1))
    head, tail = saved_text(m, path).split('"prob":[', 1)
    with open(path, "w") as out:
        out.write(head + '"prob":[')
        chunk = ",".join(["0.5"] * 1_000_000)
        for _ in range(20):
            out.write(chunk + ",")
        out.write("0.5," + tail)
    seen = run_child(LOAD, path)
    assert seen == {"load": MEMORY, "after": True}


MANY_TICKETS = r'''
class Stream:
    """Stands in for sys.stdout; gives up after the third tree's line."""
    def __init__(self):
        self.lines = []
    def write(self, text):
        if text.startswith("Tree [4]"):
            raise ValueError("enough")
        self.lines.append(text)
    def flush(self):
        pass

m = model(n_estimators=2**31 - 1)
# Room for the threads and a few trees, not for anything per ticket.
cap(800)
stream, sys.stdout = Stream(), Stream()
seen = {"fit": outcome(lambda: m.fit(small, ["x"], "t", "y", 2))}
stream, sys.stdout = sys.stdout, sys.__stdout__
seen["lines"] = [line for line in stream.lines if line.strip()]
seen["predicts"] = len(m.predict_row([0.25]))
print(json.dumps(seen))
'''


def test_two_billion_trees_start_training_at_once():
    # Before any tree is trained the call must not claim memory per tree:
    # the first trees arrive, and the stream's failure ends the call.
    seen = run_child(MANY_TICKETS)
    assert seen["fit"].split("\n")[0] == (
        "PanicException: called `Result::unwrap()` on an `Err` value: ValueError: enough")
    assert seen["lines"] == ["Start training with 2 threads...", "Tree [1] is finished!",
                             "Tree [2] is finished!", "Tree [3] is finished!"]
    assert seen["predicts"] == 1
