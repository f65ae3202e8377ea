#!/usr/bin/python3
"""Lays out the korvane package without pip, from pyproject.toml:

  make_dist.py --version V site DIR    DIR/korvane/ and DIR/korvane-V.dist-info/
                                       (what goes into dist-packages)
  make_dist.py --version V wheel DIR   DIR/korvane-V-py3-none-any.whl

--version is the project's (CMake's); it must be the one pyproject.toml says.
The files carry fixed times, so the same sources give the same wheel."""

import argparse
import base64
import hashlib
import shutil
import sys
import tomllib
import zipfile
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
FIXED_TIME = (1980, 1, 1, 0, 0, 0)


def metadata_files(project):
    name, version = project["name"], project["version"]
    meta = [
        "Metadata-Version: 2.1",
        f"Name: {name}",
        f"Version: {version}",
        f"Summary: {project['description']}",
        f"License: {project['license']['text']}",
        f"Requires-Python: {project['requires-python']}",
    ]
    meta += [f"Classifier: {c}" for c in project.get("classifiers", [])]
    for extra, deps in project.get("optional-dependencies", {}).items():
        meta.append(f"Provides-Extra: {extra}")
        meta += [f'Requires-Dist: {d}; extra == "{extra}"' for d in deps]
    meta.append("Description-Content-Type: text/markdown")
    body = "\n".join(meta) + "\n\n" + (SOURCE / project["readme"]).read_text()
    entry = ""
    for group, points in project.get("entry-points", {}).items():
        entry += f"[{group}]\n" + "".join(f"{k} = {v}\n" for k, v in points.items()) + "\n"
    return {"METADATA": body, "entry_points.txt": entry}


def package_files():
    return sorted((SOURCE / "korvane").glob("*.py"))


def write_site(project, out):
    dist = out / f"{project['name']}-{project['version']}.dist-info"
    for folder in (out / "korvane", dist):
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
    for f in package_files():
        shutil.copyfile(f, out / "korvane" / f.name)
    for name, text in metadata_files(project).items():
        (dist / name).write_text(text)


def write_wheel(project, out):
    name, version = project["name"], project["version"]
    dist = f"{name}-{version}.dist-info"
    files = [(f"korvane/{f.name}", f.read_bytes()) for f in package_files()]
    files += [(f"{dist}/{k}", v.encode()) for k, v in metadata_files(project).items()]
    files.append((f"{dist}/WHEEL", b"Wheel-Version: 1.0\nGenerator: korvane make_dist\nRoot-Is-Purelib: true\nTag: py3-none-any\n"))
    record = ""
    for path, data in files:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record += f"{path},sha256={digest},{len(data)}\n"
    files.append((f"{dist}/RECORD", (record + f"{dist}/RECORD,,\n").encode()))
    out.mkdir(parents=True, exist_ok=True)
    wheel = out / f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w", zipfile.ZIP_DEFLATED) as z:
        for path, data in files:
            info = zipfile.ZipInfo(path, FIXED_TIME)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            z.writestr(info, data)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--version", required=True)
    parser.add_argument("what", choices=["site", "wheel"])
    parser.add_argument("out", type=Path)
    args = parser.parse_args()
    project = tomllib.loads((SOURCE / "pyproject.toml").read_text())["project"]
    if project["version"] != args.version:
        sys.exit(f"python/pyproject.toml says version {project['version']}, the project {args.version}: make them one")
    (write_site if args.what == "site" else write_wheel)(project, args.out)


if __name__ == "__main__":
    main()
