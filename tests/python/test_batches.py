"""Batches on Dask and GNU parallel, and the README's examples, against one-process rpx runs."""

import json
import os
import shutil
import subprocess
import sys

from conftest import SAMPLES, readme_block, replaced, run_rpx, without_seconds


def make_tree(root):
    """Images in folders below root, names of every case, and what a walk must leave alone."""
    for sub, name, sample in [("", "a.tif", "coffee-200.tif"), ("2024", "b.tiff", "astronaut-256.tif"),
                              ("2024/jan", "C.TIF", "coffee-200.tif"), ("2024/jan", "with space.tif", "coffee-200.tif"),
                              ("2024/jan", "new\nline.tif", "astronaut-256.tif")]:
        (root / sub).mkdir(parents=True, exist_ok=True)
        shutil.copy2(os.path.join(SAMPLES, sample), root / sub / name)
    run_rpx("-q", root / "a.tif")  # a container beside the scans, never taken
    run_rpx("-q", "-d", "--bmp", "-o", root / "2024", root / "a_49-2.rpx")
    os.rename(root / "2024" / "a_49-2.bmp", root / "2024" / "d.bmp")
    (root / "notes.txt").write_text("not an image\n")


def rebased(records, base, roots):
    """Records with their paths relative to `base` and the folder they start with renamed by `roots`."""
    out = []
    for r in records:
        r = dict(r)
        for key in ("input", "output"):
            if r[key] is not None:
                first, _, rest = os.path.relpath(os.path.join(base, r[key]), base).partition(os.sep)
                r[key] = os.path.join(roots.get(first, first), rest)
        out.append(r)
    return without_seconds(out)


def same_outputs(records, root_a, root_b):
    for r in records:
        if r["output"]:
            a = os.path.join(root_a, os.path.relpath(r["output"], root_a))
            b = os.path.join(root_b, os.path.relpath(r["output"], root_a))
            assert open(a, "rb").read() == open(b, "rb").read(), r["output"]


def test_dask_batch_is_rpx_batch_and_resumes(dask_client, tmp_path):
    import kirune.dask

    make_tree(tmp_path / "scans")
    outside = tmp_path / "outside"
    outside.mkdir()
    shutil.copy2(os.path.join(SAMPLES, "coffee-200.tif"), outside / "x.tif")
    os.symlink(outside, tmp_path / "scans" / "linked")             # a folder link is not entered
    os.symlink(outside / "x.tif", tmp_path / "scans" / "out.tif")  # nor a file outside the tree taken
    shutil.copytree(tmp_path / "scans", tmp_path / "ref", symlinks=True)

    report = tmp_path / "report.jsonl"
    records = kirune.dask.compress([str(tmp_path / "scans")], dask_client, output_dir=str(tmp_path / "out"),
                                   report=str(report))
    _, expected, _ = run_rpx("-r", "--json", "-o", tmp_path / "ref-out", tmp_path / "ref")
    assert [r["status"] for r in records] == ["ok"] * 6
    roots = {"scans": "in", "ref": "in", "out": "out", "ref-out": "out", "tiff": "tiff", "ref-tiff": "tiff"}
    assert rebased(records, tmp_path, roots) == rebased(expected, tmp_path, roots)
    same_outputs(records, tmp_path / "out", tmp_path / "ref-out")
    assert [json.loads(line) for line in report.read_text().splitlines()] == records

    again = kirune.dask.compress(str(tmp_path / "scans"), dask_client, output_dir=str(tmp_path / "out"),
                                 report=str(report))
    assert [r["status"] for r in again] == ["skipped"] * 6
    assert [r["output"] for r in again] == [r["output"] for r in records]

    expanded = kirune.dask.expand([str(tmp_path / "out")], dask_client, output_dir=str(tmp_path / "tiff"))
    _, expected, _ = run_rpx("-d", "-r", "--json", "-o", tmp_path / "ref-tiff", tmp_path / "ref-out")
    assert rebased(expanded, tmp_path, roots) == rebased(expected, tmp_path, roots)
    same_outputs(expanded, tmp_path / "tiff", tmp_path / "ref-tiff")


def run_python(code, cwd):
    p = subprocess.run([sys.executable, "-c", code],
                       cwd=cwd, capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    return p.stdout


def test_readme_python_example(tmp_path):
    shutil.copy2(os.path.join(SAMPLES, "coffee-200.tif"), tmp_path / "scan.tif")
    run_rpx("-q", tmp_path / "scan.tif")
    out = run_python(readme_block("python-example"), tmp_path)
    assert out.splitlines()[0] == "12 (160, 200, 3) uint16"
    assert out.splitlines()[1].startswith("ok out/scan_49-2.rpx ")
    _, [expected], _ = run_rpx("--json", "-f", "-o", "ref", "scan.tif", cwd=tmp_path)
    assert float(out.split()[-1]) == expected["psnr"]
    assert (tmp_path / "scan_p3.rpx").stat().st_size > 0


def test_readme_dask_examples(dask_client, tmp_path):
    make_tree(tmp_path / "scans")
    out = run_python(readme_block("dask-local-example"), tmp_path)
    assert out == "6 compressed\n"
    assert len((tmp_path / "report.jsonl").read_text().splitlines()) == 6
    # The cluster's example, on this session's cluster through its scheduler's address.
    code = replaced(readme_block("dask-cluster-example"), ("tcp://scheduler:8786", dask_client.scheduler.address),
                    ("/archive", str(tmp_path)))
    run_python(code, tmp_path)
    records = [json.loads(line) for line in (tmp_path / "expanded.jsonl").read_text().splitlines()]
    assert [r["status"] for r in records] == ["ok"] * 6
    assert all(os.path.isfile(r["output"]) and r["output"].startswith(str(tmp_path / "tiff")) for r in records)


def test_gnu_parallel_recipe_matches_one_rpx_run(tmp_path):
    make_tree(tmp_path / "scans")
    shutil.copytree(tmp_path / "scans", tmp_path / "single")
    recipe = replaced(readme_block("parallel-recipe"), ("/archive/scans", "scans"),
                      ("-S 8/:,16/node2,16/node3", "-S :"))

    def run_recipe():
        p = subprocess.run(["bash", "-euo", "pipefail", "-c", recipe], cwd=tmp_path, capture_output=True, text=True,
                           timeout=120)
        assert p.returncode == 0, p.stderr
        return json.loads(p.stdout), [json.loads(line) for line in (tmp_path / "report.jsonl").open()]

    summary, records = run_recipe()
    assert summary == {"ok": 6}
    subprocess.run("find single -type f \\( -iname '*.tif' -o -iname '*.tiff' -o -iname '*.bmp' -o -iname '*.png' \\) -print0 > one.list",
                   shell=True, cwd=tmp_path, check=True)
    _, expected, _ = run_rpx("-j1", "-p", "3", "--skip-existing", "--json", "--files0-from", "one.list", cwd=tmp_path)
    by_input = lambda rs: sorted(rebased(rs, tmp_path, {"single": "scans"}), key=lambda r: r["input"])
    assert by_input(records) == by_input(expected)
    same_outputs([dict(r, output=str(tmp_path / r["output"])) for r in records], tmp_path / "scans",
                 tmp_path / "single")

    summary, records = run_recipe()  # resumed: every file is done already
    assert summary == {"skipped": 6} and len(records) == 6
