"""Model files under bad luck: save never leaves a damaged file where a good
one was, load of an endless stream stops, and signals during file work are
survived (or, for Ctrl-C, reach the caller as KeyboardInterrupt)."""
import json
import os
import re
import stat
import subprocess
import sys
import textwrap

import pytest

from conftest import DEFAULT_NODE, UNWRAP_ERR, fit, make_data, new_model, saved_text

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def run_child(code, *args, timeout=120):
    """Runs `code` in a fresh interpreter that can import conftest; returns
    (exit code, stdout, stderr). A child killed by a signal has a negative code."""
    child = subprocess.run([sys.executable, "-c", textwrap.dedent(code), TESTS_DIR, *args],
                           capture_output=True, text=True, timeout=timeout)
    return child.returncode, child.stdout, child.stderr


def trained(n_estimators=2, max_depth=4, rows=600, seed=3, **overrides):
    model = new_model(n_estimators=n_estimators, max_depth=max_depth, **overrides)
    fit(model, make_data(rows, seed=seed))
    return model


def test_file_size_limit_keeps_the_old_file(tmp_path):
    code, out, err = run_child("""
        import os, resource, signal, sys
        sys.path.insert(0, sys.argv[1])
        from conftest import PanicException, fit, make_data, new_model
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        target = os.path.join(sys.argv[2], "m.json")
        small = new_model(n_estimators=1, max_depth=1)
        fit(small, make_data(200, seed=1))
        small.save(target)
        with open(target, "rb") as f:
            old = f.read()
        big = new_model(n_estimators=3, max_depth=8, min_sample_leaf=1)
        fit(big, make_data(2000, seed=2))
        resource.setrlimit(resource.RLIMIT_FSIZE, (8192, 8192))
        try:
            big.save(target)
        except PanicException as e:
            print(e.args[0])
        with open(target, "rb") as f:
            assert f.read() == old
        """, str(tmp_path))
    assert code == 0, err
    assert out.splitlines()[-1] == \
        UNWRAP_ERR + 'Os { code: 27, kind: FileTooLarge, message: "File too large" }'
    assert os.listdir(tmp_path) == ["m.json"]


def test_symbolic_link_leads_to_the_replaced_file_which_keeps_its_mode(tmp_path):
    model = trained()
    expected = saved_text(model, tmp_path / "direct.json")
    real = tmp_path / "real"
    real.mkdir()
    target = real / "m.json"
    target.write_bytes(b"old")
    target.chmod(0o640)
    link = tmp_path / "link.json"
    link.symlink_to(target)
    model.save(str(link))
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_text("utf-8") == expected
    assert stat.S_IMODE(target.stat().st_mode) == 0o640
    assert os.listdir(real) == ["m.json"]


def test_file_too_large_for_the_disk_is_refused_before_writing(tmp_path):
    # With every row in the root leaf, a tree's text depends on max_depth only
    # through its run of default nodes (and the two max_depth numbers), so the
    # exact size of a depth-40 file follows from the depth-2 file.
    code, out, err = run_child("""
        import json, os, sys
        sys.path.insert(0, sys.argv[1])
        from conftest import PanicException, fit, make_data, new_model
        data = make_data(300, seed=5)
        shallow = new_model(n_estimators=1, max_depth=2, min_sample_leaf=10**6)
        fit(shallow, data)
        shallow.save(os.path.join(sys.argv[2], "shallow.json"))
        deep = new_model(n_estimators=1, max_depth=40, min_sample_leaf=10**6)
        fit(deep, data)
        try:
            deep.save(os.path.join(sys.argv[2], "m.json"))
        except PanicException as e:
            print(json.dumps(e.args))
        """, str(tmp_path))
    assert code == 0, err
    text = (tmp_path / "shallow.json").read_text("utf-8")
    assert text.count(DEFAULT_NODE) == 6
    expected = len(text.encode()) + (2**41 - 1 - 7) * (len(DEFAULT_NODE) + 1) + 2
    [message] = json.loads(out.splitlines()[-1])
    match = re.fullmatch(r"the model file would take [0-9.]+ TB \((\d+) bytes\) but the file "
                         r"system holding '(.*)' has only [0-9.]+ [kMGT]?B free; "
                         r"nothing was written", message)
    assert match, message
    assert int(match[1]) == expected
    assert match[2] == os.path.realpath(tmp_path)
    assert os.listdir(tmp_path) == ["shallow.json"]


def test_device_is_written_in_place():
    trained().save("/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)


@pytest.fixture
def fifo(tmp_path):
    path = tmp_path / "pipe"
    os.mkfifo(path)
    return str(path)


@pytest.mark.parametrize("source", ["/dev/zero", "yes"])
def test_endless_stream_load_stops(fifo, source):
    # Under an address-space cap, reading until memory runs out would end
    # the child by a signal or with an allocation failure. (AddressSanitizer
    # needs terabytes of address space for itself: no cap there.)
    code, out, err = run_child("""
        import os, resource, subprocess, sys
        sys.path.insert(0, sys.argv[1])
        from conftest import PanicException, fit, make_data, new_model
        source, fifo = sys.argv[2], sys.argv[3]
        model = new_model(n_estimators=1)
        fit(model, make_data(300, seed=1))
        before = model.predict([[0.3, "red"]], 1)
        if source == "yes":
            writer = subprocess.Popen(["sh", "-c", 'exec yes > "$0"', fifo])
            source = fifo
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (2 << 30, 2 << 30))
        try:
            model.load(source)
        except PanicException as e:
            print(e.args[0])
        if source == fifo:
            writer.kill()
        assert model.predict([[0.3, "red"]], 1) == before
        """, source, fifo)
    assert code == 0, err
    source = fifo if source == "yes" else source
    assert re.fullmatch(rf"'{re.escape(source)}' is not a regular file, and the first \d+ bytes "
                        r"it gave cannot begin a model file \(which begins with '\{' or '\['\); "
                        r"stopped reading", out.splitlines()[-1]), out


def test_stream_of_a_model_loads_like_its_file(tmp_path, fifo):
    text = saved_text(trained(), tmp_path / "m.json")
    writer = subprocess.Popen(["sh", "-c", 'exec cat "$0" > "$1"', tmp_path / "m.json", fifo])
    loaded = new_model()
    loaded.load(fifo)
    writer.wait()
    assert saved_text(loaded, tmp_path / "again.json") == text


# A FIFO whose other end opens late and then trickles: open, read and write
# block, and the SIGALRM handler below interrupts them over and over.
SLOW_PEER = r"""
import os, sys, time
time.sleep(0.3)
if sys.argv[1] == "write":
    with open(sys.argv[2], "rb") as f:
        data = f.read()
    fd = os.open(sys.argv[3], os.O_WRONLY)
    for i in range(0, len(data), 4096):
        os.write(fd, data[i:i + 4096])
        time.sleep(0.002)
else:
    fd = os.open(sys.argv[3], os.O_RDONLY)
    with open(sys.argv[2], "wb") as f:
        while True:
            time.sleep(0.002)
            chunk = os.read(fd, 4096)
            if not chunk:
                break
            f.write(chunk)
"""


def test_signals_during_file_work_are_survived(tmp_path):
    code, out, err = run_child("""
        import os, signal, subprocess, sys
        sys.path.insert(0, sys.argv[1])
        from conftest import fit, make_data, new_model
        tmp, peer = sys.argv[2], sys.argv[3]
        model = new_model(n_estimators=4, max_depth=7, min_sample_leaf=5)
        fit(model, make_data(3000, seed=4))
        model.save(os.path.join(tmp, "m.json"))
        fifo = os.path.join(tmp, "pipe")
        os.mkfifo(fifo)
        handled = [0]
        def count(signum, frame):
            handled[0] += 1
        signal.signal(signal.SIGALRM, count)
        signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
        reader = subprocess.Popen([sys.executable, "-c", peer, "read",
                                   os.path.join(tmp, "copy.json"), fifo])
        model.save(fifo)
        reader.wait()
        writer = subprocess.Popen([sys.executable, "-c", peer, "write",
                                   os.path.join(tmp, "m.json"), fifo])
        loaded = new_model()
        loaded.load(fifo)
        writer.wait()
        loaded.save(os.path.join(tmp, "loaded.json"))
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        print(handled[0])
        """, str(tmp_path), SLOW_PEER)
    assert code == 0, err
    assert int(out.splitlines()[-1]) > 0
    original = (tmp_path / "m.json").read_bytes()
    assert (tmp_path / "copy.json").read_bytes() == original
    assert (tmp_path / "loaded.json").read_bytes() == original


@pytest.mark.parametrize("blocked", ["open to read", "read", "open to write"])
def test_ctrl_c_during_blocked_file_work_raises_keyboard_interrupt(fifo, blocked):
    code, out, err = run_child("""
        import os, signal, sys, threading
        sys.path.insert(0, sys.argv[1])
        from conftest import fit, make_data, new_model
        blocked, fifo = sys.argv[2], sys.argv[3]
        model = new_model(n_estimators=1)
        fit(model, make_data(300, seed=1))
        if blocked == "read":
            silent_writer = os.open(fifo, os.O_RDWR)
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            model.save(fifo) if blocked == "open to write" else model.load(fifo)
        except KeyboardInterrupt:
            print(model.feature_cols())
            sys.exit(7)
        """, blocked, fifo, timeout=60)
    assert code == 7, err
    assert out.splitlines()[-1] == "['age', 'color']"
    assert "PanicException" not in err
