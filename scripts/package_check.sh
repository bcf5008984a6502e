#!/usr/bin/env bash
# Packaging check: builds the sdist and, from it, the cp38-abi3 wheel into dist/; checks the
# wheel's tag, file list and stable-ABI use (abi3audit); installs it into a fresh virtual
# environment and there runs stubtest, mypy on tests/typing/usage.py and the command-line
# tool; where a Python 3.8 interpreter is found, runs the test suite on it with the wheel and
# with the module built from the sdist, and where 3.9, 3.10, 3.12, 3.13 or 3.14 is found, on
# each with the wheel. Installs its own tools (build, abi3audit, mypy) into temporary
# environments.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

# System packages for building (liblz4-dev, pkg-config, g++) and the project's .venv.
bash scripts/setup.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pip_install() { "$1/bin/python" -m pip install -q --disable-pip-version-check "${@:2}"; }

echo "== build sdist and wheel (the wheel is built from the unpacked sdist)"
python3 -m venv "$work/tools"
pip_install "$work/tools" build abi3audit
rm -rf dist
"$work/tools/bin/python" -m build --outdir dist . >"$work/build.log" 2>&1 ||
    { tail -40 "$work/build.log"; exit 1; }
sdists=(dist/morvex_log_py_bindings-*.tar.gz)
[ ${#sdists[@]} -eq 1 ] && [ -f "${sdists[0]}" ] || { echo "expected one sdist"; ls dist; exit 1; }
sdist=${sdists[0]}
version=${sdist#dist/morvex_log_py_bindings-}
version=${version%.tar.gz}
wheels=(dist/morvex_log_py_bindings-"$version"-cp38-abi3-*.whl)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || { echo "expected one cp38-abi3 wheel"; ls dist; exit 1; }
wheel=${wheels[0]}
ls -l dist

echo "== sdist and wheel contents"
"$work/tools/bin/python" - "$sdist" "$wheel" "$version" <<'PY'
import sys, tarfile, zipfile
sdist, wheel, version = sys.argv[1:]
top = f"morvex_log_py_bindings-{version}/"
members = {m[len(top):] for m in tarfile.open(sdist).getnames() if m.startswith(top)}
needed = {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md",
          "python/morvex_log_flatten.py", "src/module/module.cpp",
          "stubs/morvex_log_py_bindings-stubs/__init__.pyi",
          "stubs/morvex_log_py_bindings-stubs/log_parser.pyi"}
if needed - members:
    sys.exit(f"sdist lacks {sorted(needed - members)}")
if any(m.split("/")[0] in {"build", "dist", ".venv"} for m in members):
    sys.exit("sdist holds build output")
info = f"morvex_log_py_bindings-{version}.dist-info/"
names = set(zipfile.ZipFile(wheel).namelist())
expected = {
    "morvex_log_py_bindings.abi3.so",
    "morvex_log_flatten.py",
    "morvex_log_py_bindings-stubs/__init__.pyi",
    "morvex_log_py_bindings-stubs/log_parser.pyi",
    info + "METADATA", info + "WHEEL", info + "RECORD", info + "entry_points.txt",
}
licence = {n for n in names if n.startswith(info) and n.rsplit("/", 1)[-1] == "LICENSE"}
problems = [f"missing {n}" for n in sorted(expected - names)]
problems += [f"unexpected {n}" for n in sorted(names - expected - licence)]
if not licence:
    problems.append("no LICENSE in the wheel's metadata")
if info + "WHEEL" in names:
    tags = [line.split(": ", 1)[1] for line in
            zipfile.ZipFile(wheel).read(info + "WHEEL").decode().splitlines()
            if line.startswith("Tag: ")]
    if not tags or not all(t.startswith("cp38-abi3-") for t in tags):
        problems.append(f"wheel tags {tags} are not cp38-abi3")
for line in sorted(names):
    print("  " + line)
if problems:
    sys.exit("wheel contents wrong: " + "; ".join(problems))
PY

echo "== abi3audit"
"$work/tools/bin/abi3audit" --strict --verbose "$wheel"

echo "== install into a fresh venv"
python3 -m venv "$work/check"
pip_install "$work/check" "$wheel" mypy
py=$work/check/bin/python
cd "$work"   # away from the checkout, so only the installed files are seen

echo "== stubtest"
"$py" -m mypy.stubtest morvex_log_py_bindings --allowlist "$root/stubs/stubtest-allowlist.txt"
# Second run: register the submodule under its dotted name so that its functions'
# stubs are checked against the runtime too.
"$py" - <<'PY'
import sys
import morvex_log_py_bindings
from mypy.stubtest import main

sys.modules["morvex_log_py_bindings.log_parser"] = morvex_log_py_bindings.log_parser
sys.argv = ["stubtest", "morvex_log_py_bindings"]
sys.exit(main())
PY

echo "== mypy on a script that uses the module, then the script itself"
"$py" -m mypy --strict --no-incremental "$root/tests/typing/usage.py"
# (its deliberate corrupt-block call makes the module report a fault on stderr: hidden)
"$py" "$root/tests/typing/usage.py" 2>usage.err || { cat usage.err; exit 1; }

echo "== command-line tool"
cli=$work/check/bin/morvex-log-flatten
"$cli" --version
"$cli" --sample
"$py" -c 'import morvex_log_flatten, sys; sys.stdout.buffer.write(morvex_log_flatten.sample_batch())' >sample.pb
"$cli" --jsonl -o sample.jsonl sample.pb sample.pb
[ "$(wc -l <sample.jsonl)" -eq 6 ] || { echo "expected 6 JSON lines"; cat sample.jsonl; exit 1; }
printf '\x80' >bad.pb
if "$cli" sample.pb bad.pb >/dev/null 2>err.txt; then echo "a bad file must fail"; exit 1; fi
[ "$(wc -l <err.txt)" -eq 1 ] && grep -q 'bad.pb' err.txt || { echo "expected one error line"; cat err.txt; exit 1; }
cat err.txt

# The interpreter of version $1 (pyenv's or on the PATH), or nothing.
find_python() {
    local candidate
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python "$(command -v "python$1" || true)"; do
        if [ -n "$candidate" ] && "$candidate" -c "import sys; assert sys.version_info[:2] == tuple(map(int, '$1'.split('.')))" 2>/dev/null; then
            echo "$candidate"
            return
        fi
    done
}

# Runs the test suite on interpreter $1 (version $2) with the module installed from $3
# (wheel or sdist).
suite_on() {
    local py=$1 version=$2 what=$3 env package
    env=$work/py$version-$what
    "$py" -m venv "$env"
    if [ "$what" = wheel ]; then package=$root/$wheel; else package=$root/$sdist; fi
    pip_install "$env" pytest hypothesis "protobuf>=4.21" lz4 numpy "$package" \
        >"$env.log" 2>&1 || { tail -40 "$env.log"; exit 1; }
    echo "-- Python $version, module from the $what"
    (cd "$root" && "$env/bin/python" -m pytest -q -p no:cacheprovider tests) \
        >"$env-tests.log" 2>&1 || { tail -60 "$env-tests.log"; exit 1; }
    tail -1 "$env-tests.log"
}

echo "== the oldest supported Python, 3.8: the wheel, and the module built from the sdist"
# Built from the sdist, the module is compiled against 3.8's headers, whose init-function
# macro exports nothing by itself; the wheel, built against newer headers, must run there.
py38=$(find_python 3.8)
if [ -n "$py38" ]; then
    suite_on "$py38" 3.8 wheel
    suite_on "$py38" 3.8 sdist
else
    echo "skipped: no Python 3.8 interpreter on this machine"
fi

echo "== the other supported Pythons: the wheel"
# The same binary runs on every later interpreter, whose allocators and decoders differ.
# (3.11, the development one, runs the suite in scripts/test.sh.)
for version in 3.9 3.10 3.12 3.13 3.14; do
    py=$(find_python "$version")
    if [ -n "$py" ]; then
        suite_on "$py" "$version" wheel
    else
        echo "skipped: no Python $version interpreter on this machine"
    fi
done

echo "package check passed: $sdist $wheel"
