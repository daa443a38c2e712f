"""Shared fixtures of the Python tests: the real rpx, the samples, pixel readers and one Dask cluster."""

import json
import os
import shutil
import subprocess
import tempfile

import numpy
import pytest

RPX = os.environ["KIRUNE_RPX"]
SOURCE = os.environ["KIRUNE_SOURCE_DIR"]
SAMPLES = os.path.join(SOURCE, "samples")


def run_rpx(*args, cwd=None, check=True):
    """rpx in English; returns (exit status, JSON records, stderr)."""
    env = dict(os.environ, LC_ALL="C", LANG="C")
    p = subprocess.run([RPX, *map(str, args)], cwd=cwd, env=env, capture_output=True, text=True, timeout=120)
    if check and p.returncode != 0:
        raise AssertionError(f"rpx {args} exited {p.returncode}: {p.stderr}")
    records = [json.loads(line) for line in p.stdout.splitlines() if line.startswith("{")]
    return p.returncode, records, p.stderr


def without_seconds(records):
    return [{k: v for k, v in r.items() if k != "seconds"} for r in records]


def read_pixels(path, depth):
    """An image's RGB samples, (height, width, 3), as ImageMagick reads them."""
    size = subprocess.run(["identify", "-format", "%w %h", str(path)], capture_output=True, check=True).stdout
    width, height = map(int, size.split())
    raw = subprocess.run(["convert", str(path), "-depth", str(depth), "-endian", "LSB", "rgb:-"],
                         capture_output=True, check=True).stdout
    return numpy.frombuffer(raw, "<u2" if depth == 16 else numpy.uint8).reshape(height, width, 3)


def header_and_strips(container):
    """The container's bytes before its trailer (which names the input file)."""
    with tempfile.NamedTemporaryFile(suffix=".rpx") as f:
        f.write(container)
        f.flush()
        info = json.loads(subprocess.run([RPX, "info", "--json", f.name], capture_output=True, check=True).stdout)
    return container[: info["trailer"]["offset"]]


@pytest.fixture(scope="session")
def sample(tmp_path_factory):
    """A copy of the coffee sample, its container by rpx and that container's TIFF expansion."""
    d = tmp_path_factory.mktemp("sample")
    tif = d / "coffee.tif"
    shutil.copy2(os.path.join(SAMPLES, "coffee-200.tif"), tif)
    run_rpx("-q", tif)
    rpx = d / "coffee_49-2.rpx"
    run_rpx("-q", "-o", d / "expanded", rpx)
    run_rpx("-q", "--bmp", "-o", d / "expanded", rpx)
    return {"tif": tif, "rpx": rpx, "tiff": d / "expanded" / "coffee_49-2.tif",
            "bmp": d / "expanded" / "coffee_49-2.bmp"}


def readme_block(marker):
    """The fenced block that follows `<!-- marker -->` in the README."""
    text = open(os.path.join(SOURCE, "README.md"), encoding="utf-8").read()
    after = text.split(f"<!-- {marker} -->\n", 1)[1]
    assert after.startswith("```"), f"no code block after the {marker} marker"
    return after.split("\n", 1)[1].split("```", 1)[0]


def replaced(text, *pairs):
    """`text` with each (old, new) replaced; an old that is missing is an error."""
    for old, new in pairs:
        assert old in text, f"{old!r} is not in {text!r}"
        text = text.replace(old, new)
    return text


@pytest.fixture(scope="session")
def dask_client():
    """One cluster of two worker processes for the session."""
    import distributed
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as c:
        with distributed.Client(c) as client:
            yield client
