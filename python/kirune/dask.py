"""Batches of kirune.compress_file / kirune.expand_file on a Dask cluster.

    from distributed import Client, LocalCluster
    import kirune.dask

    with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster) as client:
        records = kirune.dask.compress(["scans"], client, output_dir="rpx", report="report.jsonl")

On a cluster, the Client is given the scheduler's address instead
(Client("tcp://scheduler:8786")); every worker needs the kirune package and
the files at the same paths. Each file is one task; the records, those of
`rpx --json`, come back in the order of the inputs. Batches resume: outputs
that exist count as skipped (skip_existing=True, the default here), and an
output is only ever in place once complete.
"""

import json
import os

import kirune

_IMAGES = (".tif", ".tiff", ".bmp", ".png")
_CONTAINERS = (".rpx",)


def _inside(path, root):
    return os.path.commonpath([os.path.realpath(path), root]) == root


def _walk(root, suffixes):
    # As `rpx -r`: regular files named for the direction, no symbolic link to
    # a folder entered, a link to a file only when its target is in the tree.
    real_root = os.path.realpath(root)
    found = []
    for folder, dirs, files in os.walk(root, followlinks=False):
        dirs.sort()
        for name in files:
            path = os.path.join(folder, name)
            if not name.lower().endswith(suffixes) or not os.path.isfile(path):
                continue
            if os.path.islink(path) and not _inside(path, real_root):
                continue
            found.append(path)
    return found


def _jobs(paths, suffixes, output_dir):
    """(input, output folder) for each file named or found below a folder named."""
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    jobs = []
    for p in map(os.fsdecode, paths):
        if not os.path.isdir(p):
            jobs.append((p, output_dir))
            continue
        for f in _walk(p, suffixes):
            # Folders below the one named are made again under output_dir, as `rpx -r -o` does.
            sub = os.path.dirname(os.path.relpath(f, p))
            jobs.append((f, os.path.join(output_dir, sub) if output_dir and sub else output_dir))
    # The batch's order, as rpx sorts it: case-insensitive (ASCII) byte order.
    jobs.sort(key=lambda j: os.fsencode(j[0]).lower())
    return jobs


def _write_report(path, records):
    # Put in place whole, so an earlier report survives a run that fails.
    tmp = f"{path}.{os.getpid()}.part"
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            for r in records:
                f.write(json.dumps(r) + "\n")
        os.replace(tmp, path)
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def _run(job, paths, suffixes, client, output_dir, report, options):
    jobs = _jobs(paths, suffixes, None if output_dir is None else os.fsdecode(output_dir))
    futures = client.map(lambda j: job(j[0], output_dir=j[1], **options), jobs, pure=False)
    records = client.gather(futures)
    if report is not None:
        _write_report(report, records)
    return records


def compress(paths, client, *, output_dir=None, report=None, skip_existing=True, force=False, preset=2, psnr=None,
             rdo=False, threads=1):
    """Compresses the TIFF and BMP files named or below the folders named, one task per file.

    paths: a path or a list of them; folders are walked as `rpx -r` walks them.
    client: a distributed.Client (of a LocalCluster, or of a scheduler's
    address). output_dir: outputs there, with the folders below each folder
    named made again under it; None: beside the inputs. report: a path to
    write the records to, one JSON object a line. threads: per file (1: a
    process or thread per core does the parallel work). The other options are
    kirune.compress_file's. Returns the records, in input order.
    """
    options = dict(skip_existing=skip_existing, force=force, preset=preset, psnr=psnr, rdo=rdo, threads=threads)
    return _run(kirune.compress_file, paths, _IMAGES, client, output_dir, report, options)


def expand(paths, client, *, output_dir=None, report=None, skip_existing=True, force=False, bmp=False, threads=1):
    """Expands the .rpx files named or below the folders named; as compress()."""
    options = dict(skip_existing=skip_existing, force=force, bmp=bmp, threads=threads)
    return _run(kirune.expand_file, paths, _CONTAINERS, client, output_dir, report, options)
