"""Packs the Windows build into a win_amd64 wheel.

    python3 cmake/win_wheel.py --core _core.cp312-win_amd64.pyd \
        --terminal terminal64.exe --out dist/

The wheel holds the Python package from src/quorvane with the modules the
build derived (generated/quorvane/ beside the extension), the extension
module and the bundled Terminal; its name, version and requirements come
from pyproject.toml, its tags from the extension's file name.
"""

from __future__ import annotations

import argparse
import base64
import hashlib
import re
import sys
import tomllib
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def record_line(name: str, data: bytes) -> str:
    digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
    return f"{name},sha256={digest},{len(data)}"


def metadata(project: dict) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
        f"Summary: {project.get('description', '')}",
        f"Requires-Python: {project.get('requires-python', '>=3.9')}",
    ]
    lines += [f"Requires-Dist: {dep}" for dep in project.get("dependencies", [])]
    for extra, deps in project.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {dep}; extra == "{extra}"' for dep in deps]
    readme = ROOT / project.get("readme", "README.md")
    text = readme.read_text(encoding="utf-8") if readme.exists() else ""
    return "\n".join(lines) + "\nDescription-Content-Type: text/markdown\n\n" + text


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--core", required=True, type=Path, help="the built _core.cpXY-win_amd64.pyd")
    parser.add_argument("--terminal", required=True, type=Path, help="the built terminal64.exe")
    parser.add_argument("--out", required=True, type=Path, help="folder for the wheel")
    args = parser.parse_args()

    match = re.fullmatch(r"_core\.(cp3\d+)-win_amd64\.pyd", args.core.name)
    if not match:
        print(f"unexpected extension name {args.core.name}", file=sys.stderr)
        return 2
    python_tag = match.group(1)
    project = tomllib.loads((ROOT / "pyproject.toml").read_text(encoding="utf-8"))["project"]
    name, version = project["name"], project["version"]
    tag = f"{python_tag}-{python_tag}-win_amd64"
    dist_info = f"{name}-{version}.dist-info"

    files: list[tuple[str, bytes]] = []
    package = ROOT / "src" / "quorvane"
    # The modules, their type stubs and the py.typed marker.
    sources = (p for p in package.rglob("*") if p.suffix in (".py", ".pyi") or p.name == "py.typed")
    for source in sorted(sources):
        files.append((f"quorvane/{source.relative_to(package).as_posix()}", source.read_bytes()))
    derived = sorted((args.core.parent / "generated" / "quorvane").glob("*"))
    if not derived:
        print(f"no derived modules beside {args.core.name} (generated/quorvane)", file=sys.stderr)
        return 2
    files += [(f"quorvane/{source.name}", source.read_bytes()) for source in derived]
    files.append((f"quorvane/{args.core.name}", args.core.read_bytes()))
    files.append(("quorvane/bin/terminal64.exe", args.terminal.read_bytes()))
    files.append((f"{dist_info}/METADATA", metadata(project).encode()))
    wheel = f"Wheel-Version: 1.0\nGenerator: quorvane win_wheel.py\nRoot-Is-Purelib: false\nTag: {tag}\n"
    files.append((f"{dist_info}/WHEEL", wheel.encode()))

    records = [record_line(n, d) for n, d in files] + [f"{dist_info}/RECORD,,"]
    files.append((f"{dist_info}/RECORD", ("\n".join(records) + "\n").encode()))

    args.out.mkdir(parents=True, exist_ok=True)
    target = args.out / f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(target, "w", zipfile.ZIP_DEFLATED) as z:
        for arcname, data in files:
            z.writestr(arcname, data)
    print(target)
    return 0


if __name__ == "__main__":
    sys.exit(main())
