"""Builds and checks the wheels.

  wheels.py linux DIST            pip wheel of the checkout (this machine's tag)
  wheels.py windows PYD DIST      a cp313-win_amd64 wheel around a cross-built
                                  _native_core.pyd, the package and the stubs
  wheels.py check WHEEL...        contents, tags and entry point of wheels

The Windows wheel is assembled here because its module is linked by the
cross build, not by pip; its metadata comes from pyproject.toml, as pip's does.
"""

import base64
import hashlib
import pathlib
import re
import subprocess
import sys
import tomllib
import zipfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGES = {"python/vorel": "vorel", "python/_native_core-stubs": "_native_core-stubs"}
REQUIRED = ["vorel/__init__.py", "vorel/__main__.py", "vorel/_cli.py", "vorel/_recording.py",
            "vorel/_frames.py", "vorel/py.typed", "_native_core-stubs/__init__.pyi"]


def project():
    return tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]


def metadata(p):
    lines = ["Metadata-Version: 2.1", f"Name: {p['name']}", f"Version: {p['version']}",
             f"Summary: {p['description']}", f"License: {p['license']['text']}",
             f"Requires-Python: {p['requires-python']}",
             "Description-Content-Type: text/markdown"]
    for dep in p.get("dependencies", []):
        lines.append(f"Requires-Dist: {dep}")
    for extra, deps in p.get("optional-dependencies", {}).items():
        lines.append(f"Provides-Extra: {extra}")
        lines += [f'Requires-Dist: {d}; extra == "{extra}"' for d in deps]
    return "\n".join(lines) + "\n\n" + (ROOT / "README.md").read_text(encoding="utf-8")


def build_linux(dist):
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps",
                    "--no-build-isolation", "--disable-pip-version-check", "-w", str(dist),
                    str(ROOT)], check=True)


def build_windows(pyd, dist):
    p = project()
    name, version = p["name"], p["version"]
    tag = "cp313-cp313-win_amd64"
    info = f"{name}-{version}.dist-info"
    files = {"_native_core.pyd": pathlib.Path(pyd).read_bytes()}
    for source, target in PACKAGES.items():
        for path in sorted((ROOT / source).rglob("*")):
            if path.is_file() and "__pycache__" not in path.parts:
                files[f"{target}/{path.relative_to(ROOT / source).as_posix()}"] = path.read_bytes()
    files[f"{info}/METADATA"] = metadata(p).encode()
    files[f"{info}/WHEEL"] = (f"Wheel-Version: 1.0\nGenerator: vorel wheels.py\n"
                              f"Root-Is-Purelib: false\nTag: {tag}\n").encode()
    files[f"{info}/entry_points.txt"] = "".join(
        ["[console_scripts]\n"] + [f"{k} = {v}\n" for k, v in p["scripts"].items()]).encode()
    record = []
    for path, data in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        record.append(f"{path},sha256={digest},{len(data)}")
    record.append(f"{info}/RECORD,,")
    files[f"{info}/RECORD"] = ("\n".join(record) + "\n").encode()
    dist.mkdir(parents=True, exist_ok=True)
    out = dist / f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as z:
        for path, data in files.items():
            z.writestr(path, data)
    return out


# What a Windows module may import: the interpreter and system DLLs, no
# compiler runtime that would have to travel beside it.
# The C runtime must be the interpreter's, the Universal C Runtime (through
# its api-ms-win-crt-* sets), not msvcrt.dll.
ALLOWED_DLLS = re.compile(
    r"(python313|kernel32|user32|gdi32|ole32|oleaut32|advapi32|ucrtbase"
    r"|api-ms-win-[a-z0-9-]+|ws2_32|shell32|mmdevapi|avrt|ksuser)\.dll", re.IGNORECASE)


def pyd_imports(data):
    """The DLLs a .pyd imports, read by MinGW's objdump."""
    import shutil
    import tempfile

    objdump = shutil.which("x86_64-w64-mingw32-objdump")
    if objdump is None:
        raise SystemExit("x86_64-w64-mingw32-objdump is needed to check a Windows wheel")
    with tempfile.TemporaryDirectory() as folder:
        path = pathlib.Path(folder) / "_native_core.pyd"
        path.write_bytes(data)
        dump = subprocess.run([objdump, "-p", str(path)], check=True, capture_output=True,
                              text=True).stdout
    if not re.search(r"^\s*\[\s*\d+\]\s+PyInit__native_core$", dump, re.MULTILINE):
        raise SystemExit("the .pyd does not export PyInit__native_core")
    return sorted(set(re.findall(r"^\s*DLL Name: (\S+)", dump, re.MULTILINE)))


def check(wheel, dlls=True):
    """Raises SystemExit with what is wrong; prints a one-line summary."""
    wheel = pathlib.Path(wheel)
    m = re.fullmatch(r"vorel-[^-]+-(cp313)-(cp313)-(\w+)\.whl", wheel.name)
    if not m:
        raise SystemExit(f"{wheel.name}: not a CPython 3.13 wheel of vorel")
    platform = m[3]
    with zipfile.ZipFile(wheel) as z:
        names = set(z.namelist())
        info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/WHEEL"))
        wheel_text = z.read(f"{info}/WHEEL").decode()
        entry = z.read(f"{info}/entry_points.txt").decode()
        imports = (pyd_imports(z.read("_native_core.pyd"))
                   if dlls and "_native_core.pyd" in names else None)
        for line in z.read(f"{info}/RECORD").decode().splitlines():
            path, digest, _ = line.rsplit(",", 2)
            if path not in names:
                raise SystemExit(f"{wheel.name}: RECORD lists {path}, which is missing")
            if digest:
                want = base64.urlsafe_b64encode(
                    hashlib.sha256(z.read(path)).digest()).rstrip(b"=").decode()
                if digest != f"sha256={want}":
                    raise SystemExit(f"{wheel.name}: RECORD hash of {path} is wrong")
    missing = [n for n in REQUIRED if n not in names]
    module = [n for n in names if re.fullmatch(r"_native_core\.(cpython-313-[\w-]+\.so|pyd)", n)]
    problems = []
    if missing:
        problems.append(f"missing {missing}")
    if len(module) != 1:
        problems.append(f"expected one _native_core module, found {module}")
    elif platform == "win_amd64" and module[0] != "_native_core.pyd":
        problems.append("a Windows wheel needs _native_core.pyd")
    if f"Tag: cp313-cp313-{platform}" not in wheel_text or "Root-Is-Purelib: false" not in wheel_text:
        problems.append("WHEEL tag or purelib flag is wrong")
    if "vorel = vorel._cli:main" not in entry:
        problems.append("no vorel console script")
    if imports is not None:
        odd = [d for d in imports if not ALLOWED_DLLS.fullmatch(d)]
        if odd or not any(d.lower() == "python313.dll" for d in imports):
            problems.append(f"the .pyd imports {imports}")
    if problems:
        raise SystemExit(f"{wheel.name}: " + "; ".join(problems))
    print(f"{wheel.name}: {len(names)} files, module {module[0]}, tag cp313-cp313-{platform}"
          + (f", imports {' '.join(imports)}" if imports else ""))


def main(argv):
    if argv[:1] == ["linux"] and len(argv) == 2:
        build_linux(pathlib.Path(argv[1]))
    elif argv[:1] == ["windows"] and len(argv) == 3:
        print(build_windows(argv[1], pathlib.Path(argv[2])))
    elif argv[:1] == ["check"] and len(argv) > 1:
        for w in argv[1:]:
            check(w)
    else:
        raise SystemExit(__doc__)


if __name__ == "__main__":
    main(sys.argv[1:])
