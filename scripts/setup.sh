#!/usr/bin/env bash
# Creates .venv from CPython 3.10, installs the pinned dependencies and builds tovrel into it.
# Safe to run again: dependencies are reinstalled only when requirements-dev.txt changes, and the
# module is rebuilt only when its sources or build files change (and then incrementally).
# TOVREL_PYTHON=/path/to/python3.10 overrides the interpreter the environment is made from.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

venv=.venv

find_python() {
    if [[ -n "${TOVREL_PYTHON:-}" ]]; then
        echo "$TOVREL_PYTHON"
        return
    fi
    if command -v pyenv >/dev/null 2>&1; then
        local version
        version=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.10\.[0-9]+$' | sort -V | tail -n 1)
        if [[ -n "$version" ]]; then
            echo "$(pyenv prefix "$version")/bin/python"
            return
        fi
    fi
    if command -v python3.10 >/dev/null 2>&1; then
        command -v python3.10
        return
    fi
    echo "setup: CPython 3.10 not found; install it (pyenv install 3.10) or set TOVREL_PYTHON" >&2
    exit 1
}

is_python310() {
    "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 10))' 2>/dev/null
}

stamp_of() {
    cat "$@" | sha256sum | cut -d' ' -f1
}

if [[ ! -x "$venv/bin/python" ]] || ! is_python310 "$venv/bin/python"; then
    python=$(find_python)
    if ! is_python310 "$python"; then
        echo "setup: $python is not CPython 3.10" >&2
        exit 1
    fi
    echo "setup: creating $venv from $python"
    rm -rf "$venv"
    "$python" -m venv "$venv"
fi

requirements_stamp=$(stamp_of requirements-dev.txt)
if [[ "$(cat "$venv/.requirements-stamp" 2>/dev/null)" != "$requirements_stamp" ]]; then
    echo "setup: installing dependencies (torch is large; pip's cache makes later runs fast)"
    "$venv/bin/python" -m pip install --quiet --upgrade pip
    "$venv/bin/python" -m pip install --quiet -r requirements-dev.txt
    echo "$requirements_stamp" > "$venv/.requirements-stamp"
    rm -f "$venv/.build-stamp"
fi

build_inputs=(setup.py pyproject.toml core-build.txt src/*.h src/*.cpp src/*/*.py stubs/*/*.pyi)
build_stamp=$(stamp_of "${build_inputs[@]}")
if [[ "$(cat "$venv/.build-stamp" 2>/dev/null)" != "$build_stamp" ]] ||
    ! (cd / && "$OLDPWD/$venv/bin/python" -c 'import tovrel') 2>/dev/null; then
    echo "setup: building tovrel"
    log=$(mktemp)
    if ! "$venv/bin/python" -m pip install --no-build-isolation --no-deps --verbose . > "$log" 2>&1; then
        cat "$log" >&2
        echo "setup: build failed" >&2
        exit 1
    fi
    # Our own code must compile without warnings; show any.
    grep -E 'warning:' "$log" | grep -v 'byte-compiling is disabled' >&2 || true
    rm -f "$log"
    echo "$build_stamp" > "$venv/.build-stamp"
fi
