# Sourced by the other scripts: finds CPython 3.12, makes the project's
# virtual environment (.venv) and installs the package into it from source.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VQMIXER_VENV:-$ROOT/.venv}"

find_python312() {
    local candidates=("${PYTHON:-}" python3.12)
    if command -v pyenv >/dev/null 2>&1; then
        candidates+=("$(pyenv root)"/versions/3.12*/bin/python3.12)
    fi
    candidates+=("$HOME"/.pyenv/versions/3.12*/bin/python3.12 /root/.pyenv/versions/3.12*/bin/python3.12
                 /usr/local/bin/python3.12 /usr/bin/python3.12 python3)
    local c
    for c in "${candidates[@]}"; do
        [ -n "$c" ] || continue
        command -v "$c" >/dev/null 2>&1 || [ -x "$c" ] || continue
        if "$c" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
            echo "$c"
            return 0
        fi
    done
    echo "error: CPython 3.12 not found; install it (for example 'pyenv install 3.12') or set PYTHON" >&2
    return 1
}

# install_package EXTRAS: (re)build the extension and install it with the extras.
install_package() {
    local extras="$1"
    if [ ! -x "$VENV/bin/python" ]; then
        local py
        py="$(find_python312)"
        "$py" -m venv "$VENV"
        "$VENV/bin/python" -m pip install --quiet --upgrade pip
    fi
    "$VENV/bin/python" -m pip install --quiet "$ROOT[$extras]"
}
