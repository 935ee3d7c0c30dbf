"""Short runs of the API fuzzer (fuzz/fuzz_api.py) and of the file readers' fuzzer
(fuzz/fuzz_readers.py), when atheris is installed."""
import os
import subprocess
import sys

import pytest

pytest.importorskip("atheris")

import kestpy  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.mark.parametrize("seed", [1, 2])
def test_fuzzer_short_run_finds_nothing(tmp_path, seed):
    env = dict(os.environ)
    # The kestpy under test, wherever it was imported from.
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(kestpy.__file__), *sys.path])
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "fuzz", "fuzz_api.py"), f"-seed={seed}", "-runs=4000",
         "-max_len=1024", "-len_control=0", "-timeout=30", f"-artifact_prefix={tmp_path}{os.sep}"],
        capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert "Done 4000 runs" in proc.stderr
    assert not list(tmp_path.glob("crash-*"))


def test_file_reader_fuzzer_short_run_finds_nothing(tmp_path):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([os.path.dirname(kestpy.__file__), *sys.path])
    proc = subprocess.run(
        [sys.executable, os.path.join(ROOT, "fuzz", "fuzz_readers.py"), "-seed=1", "-runs=300", "-max_len=256",
         "-len_control=0", "-timeout=30", f"-artifact_prefix={tmp_path}{os.sep}"],
        capture_output=True, text=True, timeout=300, env=env, cwd=tmp_path,
    )
    assert proc.returncode == 0, proc.stderr[-4000:]
    assert "Done 300 runs" in proc.stderr
    assert not list(tmp_path.glob("crash-*"))
