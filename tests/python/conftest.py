"""Shared fixtures of the Python tests: the real rpx, the samples, readers of
the uncompressed TIFFs and BMPs that rpx writes, and one Dask cluster."""

import json
import os
import shutil
import struct
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


def read_tiff(path):
    """The pixels of an uncompressed, little-endian, chunky 16-bit RGB TIFF."""
    data = open(path, "rb").read()
    assert data[:4] == b"II*\x00", "not a little-endian classic TIFF"
    (ifd,) = struct.unpack_from("<I", data, 4)
    (count,) = struct.unpack_from("<H", data, ifd)
    tags = {}
    sizes = {3: 2, 4: 4}
    for i in range(count):
        tag, kind, n, value = struct.unpack_from("<HHII", data, ifd + 2 + 12 * i)
        if kind not in sizes:
            continue
        at = value if sizes[kind] * n > 4 else ifd + 2 + 12 * i + 8
        fmt = "<" + ("H" if kind == 3 else "I") * n
        tags[tag] = struct.unpack_from(fmt, data, at)
    width, height = tags[256][0], tags[257][0]
    assert tags[258] == (16, 16, 16) and tags[259] == (1,) and tags.get(284, (1,)) == (1,)
    pixels = b"".join(data[o : o + c] for o, c in zip(tags[273], tags[279]))
    return numpy.frombuffer(pixels, dtype="<u2")[: width * height * 3].reshape(height, width, 3)


def read_bmp(path):
    """The pixels of a 24-bit BMP as (height, width, 3) RGB uint8."""
    data = open(path, "rb").read()
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _, bits = struct.unpack_from("<iiHH", data, 18)
    assert bits == 24
    row = (width * 3 + 3) // 4 * 4
    rows = numpy.frombuffer(data, dtype=numpy.uint8, count=row * abs(height), offset=offset)
    bgr = rows.reshape(abs(height), row)[:, : width * 3].reshape(abs(height), width, 3)
    rgb = bgr[:, :, ::-1]
    return rgb[::-1] if height > 0 else rgb


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
