"""Reading and writing .rpx containers with numpy arrays.

    picture = kirune.read("scan_49-2.rpx")          # (height, width, 3) uint16
    data = kirune.encode(picture, preset=3)         # the container's bytes
    record = kirune.compress_file("scan.tif")       # what `rpx --json scan.tif` prints

A path is a str or an os.PathLike; bytes, bytearray and memoryview hold a
container itself. Failures of the library raise kirune.Error (a ValueError)
with its message; those of files raise kirune.FileError (also an OSError).
"""

import math
import os
import stat
import warnings

import numpy

from . import _kirune

__all__ = ["Error", "FileError", "read", "info", "write", "encode", "compress_file", "expand_file", "version"]

# The C API's error codes (kirune.h), as Error.code holds them.
INVALID_ARGUMENT, NO_PICTURE, IO, NOT_RPX, DAMAGED, TOO_LARGE = -1, -2, -3, -4, -5, -6
OUT_OF_MEMORY, OUTPUT_EXISTS, ABORTED, FAILED = -7, -8, -9, -10


class Error(ValueError):
    """A failure of the library; str(e) is its message, e.code its error code."""

    code = FAILED


class FileError(Error, OSError):
    """A file could not be opened, read or written, or an output exists; e.filename names it."""

    def __str__(self):
        return str(self.args[0]) if self.args else ""


def _error_class(code):
    return FileError if code in (IO, OUTPUT_EXISTS) else Error


_SAMPLING = {1: "4:2:0", 2: "4:2:2", 4: "4:4:4"}
_SAMPLING_CODES = {v: k for k, v in _SAMPLING.items()}
_TEXTS = ("make", "model", "software", "date_time", "artist", "description")


def version():
    """The library's version, e.g. "1.0.0 (kirune 2.11)"."""
    return _kirune.version()


def _source(source):
    if isinstance(source, (bytes, bytearray, memoryview)):
        return source, False
    return os.fsencode(source), True


def _naming(call, source, *args):
    # Errors of a path name it, as OSError's do.
    try:
        return call(*_source(source), *args)
    except FileError as e:
        if not isinstance(source, (bytes, bytearray, memoryview)):
            e.filename = os.fspath(source)
        raise


def _text(raw):
    # As `rpx info` shows them: UTF-8 when the bytes are, else cp932.
    if raw is None:
        return None
    try:
        return raw.decode("utf-8")
    except UnicodeDecodeError:
        return raw.decode("cp932", errors="replace")


def info(source):
    """The header and metadata of a container (a path or its bytes), as a dict.

    Keys: width, height, quality_level, colour_sampling ("4:2:0", "4:2:2" or
    "4:4:4"), preset (the digit 0-9, or None), strip_height, strip_count,
    checksums (whether the container has them), orientation (TIFF's, 1-8) and
    metadata: a dict of make, model, software, date_time, artist and
    description (str, or None when absent), resolution_unit, x_resolution,
    y_resolution, icc_profile and carried_tags (bytes or None). The metadata
    dict can be given to write() and encode() as it is.
    """
    d = _naming(_kirune.info, source)
    d["colour_sampling"] = _SAMPLING.get(d["colour_sampling"], str(d["colour_sampling"]))
    if d["preset"] < 0:
        d["preset"] = None
    for key in _TEXTS:
        d["metadata"][key] = _text(d["metadata"][key])
    return d


def read(source, *, bits=16, max_pixels=0):
    """The picture of a container (a path or its bytes) as a (height, width, 3) array.

    bits=16 gives uint16 samples as `rpx` expands them to TIFF; bits=8 gives
    uint8 rounded as `rpx --bmp`. Both checksums are verified: a damaged
    container raises Error and hands out no pixels. max_pixels > 0 refuses
    larger pictures before decoding. The GIL is released while decoding.
    """
    return _naming(_kirune.read, source, int(bits), int(max_pixels))


def _pixels(array):
    a = numpy.asarray(array)
    if a.dtype.kind != "u" or a.dtype.itemsize not in (1, 2):
        raise Error(f"the array must hold uint8 or uint16 samples, not {a.dtype}")
    if a.ndim != 3 or a.shape[2] != 3 or a.shape[0] == 0 or a.shape[1] == 0:
        raise Error(f"the array must have the shape (height, width, 3), not {a.shape}")
    item = a.dtype.itemsize
    rows_packed = a.strides[2] == item and a.strides[1] == 3 * item and a.strides[0] >= a.shape[1] * 3 * item
    if rows_packed and a.dtype.isnative:
        return a
    # Other layouts (columns or channels apart, rows upside down, other byte order) go over as a copy.
    return numpy.ascontiguousarray(a, dtype=a.dtype.newbyteorder("="))


def _metadata(metadata):
    if metadata is None:
        return None
    m = dict(metadata)
    for key in _TEXTS:
        if isinstance(m.get(key), str):
            m[key] = m[key].encode("utf-8")
    return m


def encode(array, preset=2, psnr=None, rdo=False, metadata=None, *, threads=0):
    """The container of a picture, as bytes: what `rpx` writes for a TIFF of these pixels.

    array: (height, width, 3) of uint16 (full 0-65535 range) or uint8, any
    strides. preset: the digit 0-9 as `rpx -p`; psnr: a target in dB instead
    (the coarsest coding that reaches it, as `rpx --psnr`); rdo: the rate-aware
    coder (`rpx --rdo`); metadata: a dict as info() gives; threads: 0 for every
    core. The GIL is released while coding.
    """
    return _kirune.encode(_pixels(array), None, preset, psnr, rdo, threads, False, _metadata(metadata))


def write(path, array, preset=2, psnr=None, rdo=False, metadata=None, *, threads=0, force=False):
    """Writes encode()'s container to path, as `rpx` writes its outputs.

    The file is put in place only once complete; an existing file is refused
    (FileError) unless force=True. Returns a dict: quality_level,
    colour_sampling, psnr (RGB, 16-bit peak; inf when lossless),
    target_reached (None without a psnr target) and bytes.
    """
    try:
        r = _kirune.encode(_pixels(array), os.fsencode(path), preset, psnr, rdo, threads, force, _metadata(metadata))
    except FileError as e:
        e.filename = os.fspath(path)
        raise
    r["colour_sampling"] = _SAMPLING.get(r["colour_sampling"])
    missed = r.pop("target_missed")
    r["target_reached"] = None if psnr is None else not missed
    return r


def _existing(skip_existing, force):
    if skip_existing and force:
        raise ValueError("skip_existing and force exclude each other")
    return 2 if skip_existing else 1 if force else 0


def _size(path):
    try:
        st = os.stat(path)
    except (OSError, ValueError):
        return None
    return st.st_size if stat.S_ISREG(st.st_mode) else None


def _rounded(value, digits):
    # The record's numbers as `rpx --json` prints them.
    return None if value is None or not math.isfinite(value) else float(f"{value:.{digits}f}")


def _record(r, expand, psnr_target):
    name = os.fsdecode
    rec = {"input": name(r["input"]), "output": None, "status": "ok", "message": "", "inputBytes": None,
           "outputBytes": None, "ratio": None, "bpp": None, "psnr": None, "seconds": _rounded(r["seconds"], 3),
           "qualityLevel": None, "colourSampling": None}
    message = r["message"].decode("utf-8", "surrogateescape")
    if r["status"] == 1:
        rec.update(status="failed", message=message, inputBytes=_size(r["input"]))
        return rec
    rec["output"] = name(r["output"])
    if r["status"] == 2:
        rec.update(status="skipped", message="the output exists", inputBytes=_size(r["input"]),
                   outputBytes=_size(r["output"]))
        return rec
    if message:
        warnings.warn(f"{rec['input']}: {message}", stacklevel=3)
    # Ratio and bits per pixel are the container's, whichever way the file went.
    image, container = (r["output_bytes"], r["input_bytes"]) if expand else (r["input_bytes"], r["output_bytes"])
    pixels = r["width"] * r["height"]
    bpp = 8.0 * container / pixels if pixels else None
    rec.update(inputBytes=r["input_bytes"], outputBytes=r["output_bytes"],
               ratio=_rounded(image / container if container else 0.0, 4),
               bpp=_rounded(bpp, 4) if bpp is not None and bpp <= 48.0 else None)
    if not expand:
        rec.update(qualityLevel=r["quality_level"], colourSampling=_SAMPLING.get(r["colour_sampling"]))
        if math.isinf(r["psnr"]):
            rec["message"] = "lossless"
        else:
            rec["psnr"] = _rounded(r["psnr"], 3)
        if psnr_target is not None:
            rec["targetReached"] = not r["target_missed"]
            if r["target_missed"]:
                rec["message"] = f"PSNR target of {psnr_target:.2f} dB not reached: {r['psnr']:.2f} dB"
    return rec


def compress_file(path, *, output_dir=None, preset=2, psnr=None, rdo=False, skip_existing=False, force=False,
                  threads=0):
    """Compresses a TIFF or BMP file into NAME_DB-2.rpx as `rpx --json` does; returns rpx's record.

    The record is the dict `rpx --json` prints for the file (input, output,
    status "ok", "skipped" or "failed", message, inputBytes, outputBytes,
    ratio, bpp, psnr, seconds, qualityLevel, colourSampling, and
    targetReached with a psnr target). A file that fails is a record with
    status "failed", not an exception. Outputs go beside the input or into
    output_dir (made when missing); an existing output fails the file unless
    skip_existing (counted as done) or force (replaced).
    """
    r = _kirune.file_job(os.fsencode(path), False, None if output_dir is None else os.fsencode(output_dir),
                         _existing(skip_existing, force), False, preset, psnr, rdo, threads)
    return _record(r, False, psnr)


def expand_file(path, *, output_dir=None, bmp=False, skip_existing=False, force=False, threads=0):
    """Expands an .rpx file to NAME.tif (NAME.bmp with bmp=True) as `rpx --json` does; returns rpx's record.

    Both checksums are verified before the output is put in place. Outputs
    and existing files as compress_file().
    """
    r = _kirune.file_job(os.fsencode(path), True, None if output_dir is None else os.fsencode(output_dir),
                         _existing(skip_existing, force), bmp, 2, None, False, threads)
    return _record(r, True, None)
