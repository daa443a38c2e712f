"""kirune against the real rpx: pixels, containers, records and errors."""

import os
import shutil
import threading
import time

import numpy
import pytest

import kirune
from conftest import SAMPLES, header_and_strips, read_pixels, run_rpx, without_seconds


def test_read_gives_what_rpx_expands(sample):
    tiff = read_pixels(sample["tiff"], 16)
    picture = kirune.read(sample["rpx"])
    assert picture.dtype == numpy.uint16 and picture.shape == (160, 200, 3)
    numpy.testing.assert_array_equal(picture, tiff)
    numpy.testing.assert_array_equal(kirune.read(sample["rpx"].read_bytes()), tiff)
    numpy.testing.assert_array_equal(kirune.read(str(sample["rpx"]), bits=8), read_pixels(sample["bmp"], 8))

    info = kirune.info(sample["rpx"])
    _, [listed], _ = run_rpx("info", "--json", sample["rpx"])
    assert (info["width"], info["height"], info["quality_level"], info["colour_sampling"], info["preset"]) == (
        listed["width"], listed["height"], listed["qualityLevel"], listed["colourSampling"], listed["preset"])
    assert info["checksums"] and info["metadata"]["resolution_unit"] == listed["resolutionUnit"]


def layouts(a):
    """The same pixels in C order, with padded rows, every other column of a wider
    array, upside down twice, channels reversed twice, in Fortran order, big-endian."""
    padded = numpy.zeros((a.shape[0], a.shape[1] + 7, 3), a.dtype)
    padded[:, : a.shape[1]] = a
    wide = numpy.zeros((a.shape[0], a.shape[1] * 2, 3), a.dtype)
    wide[:, ::2] = a
    return {"C": a, "padded rows": padded[:, : a.shape[1]], "every other column": wide[:, ::2],
            "rows reversed": a[::-1].copy()[::-1], "channels reversed": a[..., ::-1].copy()[..., ::-1],
            "Fortran": numpy.asfortranarray(a), "big-endian": a.astype(">u2")}


def test_encode_writes_what_rpx_writes_for_a_tiff_of_the_pixels(sample, tmp_path):
    # rpx compresses its own expansion; the module the same pixels and metadata.
    shutil.copy2(sample["tiff"], tmp_path / "again.tif")
    run_rpx("-q", tmp_path / "again.tif")
    expected = header_and_strips((tmp_path / "again_49-2.rpx").read_bytes())
    pixels = read_pixels(sample["tiff"], 16)
    meta = kirune.info(tmp_path / "again_49-2.rpx")["metadata"]
    for name, array in layouts(pixels).items():
        assert header_and_strips(kirune.encode(array, metadata=meta)) == expected, name
    # Another preset, through a file; an existing file is refused, then replaced when forced.
    out = tmp_path / "p3.rpx"
    result = kirune.write(out, pixels, preset=3, metadata=meta)
    run_rpx("-q", "-p", "3", tmp_path / "again.tif")
    assert header_and_strips(out.read_bytes()) == header_and_strips((tmp_path / "again_51-2.rpx").read_bytes())
    assert result["bytes"] == out.stat().st_size and result["target_reached"] is None
    with pytest.raises(kirune.FileError, match="exists"):
        kirune.write(out, pixels[:8, :8])
    assert kirune.read(out).shape == pixels.shape
    kirune.write(out, pixels[:8, :8], force=True)
    assert kirune.read(out).shape == (8, 8, 3)


def test_eight_bit_arrays_and_psnr_targets(sample):
    eight = read_pixels(sample["bmp"], 8)
    back = kirune.read(kirune.encode(eight[:, :-1], preset=3), bits=8)
    assert back.shape == (160, 199, 3) and numpy.abs(back.astype(int) - eight[:, :-1]).max() <= 8
    pixels = read_pixels(sample["tiff"], 16)
    coarse = kirune.read(kirune.encode(pixels, psnr=35))
    error = ((coarse.astype(float) - pixels) ** 2).mean()
    assert 10 * numpy.log10(65535.0**2 / error) >= 35


def test_errors_carry_the_library_messages(sample, tmp_path):
    data = bytearray(sample["rpx"].read_bytes())
    data[len(data) // 2] ^= 0x40
    for call, message, code in [(lambda: kirune.read(bytes(data)), "damaged", kirune.DAMAGED),
                                (lambda: kirune.info(bytes(data[:40])), "truncated", kirune.DAMAGED),
                                (lambda: kirune.read(b"II*\0 not a container, but long enough for a header...."),
                                 "", kirune.NOT_RPX),
                                (lambda: kirune.read(sample["rpx"], max_pixels=100),
                                 "32000 pixels, more than the 100 allowed", kirune.TOO_LARGE)]:
        with pytest.raises(kirune.Error, match=message) as e:
            call()
        assert e.value.code == code and isinstance(e.value, ValueError)
    missing = tmp_path / "missing.rpx"
    with pytest.raises(kirune.FileError, match="cannot open the file: No such file") as e:
        kirune.read(missing)
    assert isinstance(e.value, OSError) and e.value.code == kirune.IO and e.value.filename == str(missing)
    pixels = read_pixels(sample["tiff"], 16)
    for bad, message in [(pixels.astype(numpy.float32), "uint8 or uint16"), (pixels.astype(numpy.int16), "uint8"),
                         (pixels[..., :2], "shape"), (pixels[0], "shape"), (pixels[:0], "shape")]:
        with pytest.raises(kirune.Error, match=message):
            kirune.encode(bad)
    with pytest.raises(kirune.FileError, match="cannot"):
        kirune.write(tmp_path / "no" / "such" / "folder.rpx", pixels)
    for options, message in [({"preset": 10}, "preset must be a digit"), ({"psnr": 0}, "psnr must be above 0"),
                             ({"threads": -1}, "threads must be")]:
        with pytest.raises(kirune.Error, match=message):
            kirune.encode(pixels, **options)
    with pytest.raises(kirune.Error, match="preset must be a digit"):
        kirune.compress_file(tmp_path / "x.tif", preset=-1)


def file_jobs(rpx_args, call, tmp_path, name, monkeypatch):
    """rpx --json and the module on copies of the same file, from folders of the same layout."""
    for side in ("rpx", "module"):
        (tmp_path / side).mkdir(parents=True, exist_ok=True)
        if not (tmp_path / side / "coffee.tif").exists():
            shutil.copy2(os.path.join(SAMPLES, "coffee-200.tif"), tmp_path / side / "coffee.tif")
    _, records, _ = run_rpx("--json", *rpx_args, name, cwd=tmp_path / "rpx", check=False)
    monkeypatch.chdir(tmp_path / "module")
    return records, [call(name)]


@pytest.mark.parametrize("rpx_args, call, name", [
    ((), kirune.compress_file, "coffee.tif"),
    (("-o", "out/sub"), lambda p: kirune.compress_file(p, output_dir="out/sub"), "coffee.tif"),
    (("--psnr", "60"), lambda p: kirune.compress_file(p, psnr=60), "coffee.tif"),
    (("-p", "4"), lambda p: kirune.compress_file(p, preset=4), "coffee.tif"),
    (("-p", "4"), lambda p: kirune.compress_file(p, preset=4), "coffee.tif"),  # the output exists now
    (("-p", "4", "--skip-existing"), lambda p: kirune.compress_file(p, preset=4, skip_existing=True), "coffee.tif"),
    (("-p", "4", "-f"), lambda p: kirune.compress_file(p, preset=4, force=True), "coffee.tif"),
    ((), kirune.compress_file, "absent.tif"),
    ((), kirune.expand_file, "coffee_49-2.rpx"),
    (("--bmp", "-o", "bmp"), lambda p: kirune.expand_file(p, bmp=True, output_dir="bmp"), "coffee_49-2.rpx"),
    ((), kirune.expand_file, "coffee_49-2.rpx"),  # the output exists now
])
def test_file_records_are_rpx_records(rpx_args, call, name, tmp_path_factory, monkeypatch):
    # One folder pair for the whole sequence, so later cases see earlier outputs.
    tmp_path = tmp_path_factory.getbasetemp() / "records"
    rpx, module = file_jobs(rpx_args, call, tmp_path, name, monkeypatch)
    assert len(rpx) == 1 and without_seconds(module) == without_seconds(rpx)
    assert module[0]["seconds"] >= 0
    if module[0]["status"] == "ok":
        out = module[0]["output"]
        assert (tmp_path / "module" / out).read_bytes() == (tmp_path / "rpx" / out).read_bytes()


def overlaps_python_code(call):
    """Whether Python code in another thread runs in the middle of `call`."""
    seen, interval = [], []

    def worker():
        start = time.perf_counter()
        call()
        interval.extend([start, time.perf_counter()])

    t = threading.Thread(target=worker)
    t.start()
    while t.is_alive():
        seen.append(time.perf_counter())
        time.sleep(0.0005)
    t.join()
    start, end = interval
    # A call holding the GIL leaves room for this thread only at its edges.
    middle = (start + (end - start) * 0.25, end - (end - start) * 0.25)
    return any(middle[0] < s < middle[1] for s in seen)


def test_the_gil_is_released_while_coding():
    y, x = numpy.mgrid[0:1200, 0:1600]
    rng = numpy.random.default_rng(3)
    pixels = numpy.stack([x * 40, y * 50, (x + y) * 20], axis=-1) + rng.integers(0, 4000, (1200, 1600, 3))
    pixels = pixels.astype(numpy.uint16)
    data = kirune.encode(pixels, preset=1, threads=1)
    # Retried: a machine busy elsewhere may not schedule this thread for a whole call.
    assert any(overlaps_python_code(lambda: kirune.read(data)) for _ in range(3))
    assert any(overlaps_python_code(lambda: kirune.encode(pixels[:400], threads=1)) for _ in range(3))
