"""The scripts of examples/python/ run and say what they should."""

import re
import subprocess
import sys

import numpy as np
import pytest

from conftest import REPOSITORY, python_env

SCRIPTS = REPOSITORY / "examples" / "python"


def run(script, *args, cwd):
    done = subprocess.run([sys.executable, SCRIPTS / script, *args], cwd=cwd, env=python_env(),
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_two_distances_draws_a_figure(tmp_path):
    out = run("two_distances.py", "heads.png", cwd=tmp_path)
    assert (tmp_path / "heads.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    peaks = [float(x) for x in re.findall(r"at (\d+) ps", out)]
    # Light that reaches the far detector has travelled longer.
    assert len(peaks) == 2 and peaks[0] < peaks[1]


def test_brain_mua_sweep_prints_falling_means_and_totals(tmp_path):
    out = run("brain_mua_sweep.py", cwd=tmp_path)
    rows = np.array([[float(x) for x in line.split()] for line in out.splitlines() if re.match(r"\s+0\.\d", line)])
    assert rows.shape == (9, 3)
    # More absorption in the brain removes the late, deep photons first.
    assert np.all(np.diff(rows[:, 1]) < 0) and np.all(np.diff(rows[:, 2]) < 0)


def test_dask_sweep_matches_the_local_run(tmp_path):
    out = run("dask_sweep.py", cwd=tmp_path)
    assert "cluster: 2 workers" in out and "results: (16, 3, 512)" in out
    assert out.rstrip().endswith("identical to the local run: True")


@pytest.mark.slow
def test_recording_study_finds_the_activation(tmp_path):
    done = subprocess.run([sys.executable, REPOSITORY / "examples" / "recording" / "study.py", tmp_path],
                          env=python_env(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "study.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    brain = re.search(r"layer 4: during the tasks dHbO ([-+.\d]+) uM, dHbR ([-+.\d]+) uM", done.stdout)
    # The simulated +5 and -2 uM, under a systemic wave in the scalp.
    assert abs(float(brain.group(1)) - 5.0) < 0.75 and abs(float(brain.group(2)) + 2.0) < 0.3
