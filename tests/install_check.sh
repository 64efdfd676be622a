#!/usr/bin/env bash
# Installs the build into a staging root and imports both modules from there, away from the
# build tree, as the interpreter would find them after a real `cmake --install`.
set -euo pipefail
build=$1
python=$2
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
DESTDIR="$stage" cmake --install "$build" >/dev/null
site=$("$python" -c "import sysconfig; print(sysconfig.get_path('platlib'))")
cd "$stage"
PYTHONPATH="$stage$site" "$python" -c "
import native_ocr.panelsight as p, native_ocr.segmark as s
assert p.__file__.startswith('$stage') and s.__file__.startswith('$stage'), (p.__file__, s.__file__)
print('installed modules import from', p.__file__.rsplit('/', 1)[0])
"
