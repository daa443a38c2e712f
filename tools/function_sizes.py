#!/usr/bin/env python3
"""Lists functions longer than 80 lines or taking more than 6 parameters in the
core libraries (Universal Ctags finds them); exits 1 when there is one.
    tools/function_sizes.py [ROOT]
Generated tables (.inc) are not functions and are not read."""

import json
import subprocess
import sys
from pathlib import Path

MAX_LINES = 80
MAX_PARAMS = 6
DIRS = ["codec", "encoder", "lossless", "container", "app/core"]


def parameter_count(signature: str) -> int:
    inner = signature.strip()
    if inner.startswith("("):
        inner = inner[1:]
    if inner.endswith(")"):
        inner = inner[:-1]
    if inner.strip() in ("", "void"):
        return 0
    depth, count = 0, 1
    for ch in inner:
        if ch in "(<[{":
            depth += 1
        elif ch in ")>]}":
            depth -= 1
        elif ch == "," and depth == 0:
            count += 1
    return count


def main() -> int:
    root = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parent.parent)
    files = [str(p) for d in DIRS for p in sorted((root / d).glob("*")) if p.suffix in (".cpp", ".h")]
    out = subprocess.run(
        ["ctags", "--output-format=json", "--languages=C++", "--kinds-C++=f", "--fields=+neS", "-f", "-", *files],
        check=True, capture_output=True, text=True).stdout
    found = []
    for line in out.splitlines():
        tag = json.loads(line)
        if tag.get("kind") != "function" or "end" not in tag:
            continue
        lines = tag["end"] - tag["line"] + 1
        params = parameter_count(tag.get("signature", "()"))
        if lines > MAX_LINES or params > MAX_PARAMS:
            where = f"{Path(tag['path']).relative_to(root)}:{tag['line']}"
            found.append(f"{where}: {tag['name']}: {lines} lines, {params} parameters")
    for f in found:
        print(f)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
