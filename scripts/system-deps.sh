#!/usr/bin/env bash
# Makes sure the Debian packages the build and the tests need are installed: the C++ toolchain,
# CMake, GoogleTest, Google Benchmark, clang with its libFuzzer and sanitizer runtimes, and
# clang-format. Installs missing ones with apt-get when run as root; otherwise names them.
set -euo pipefail

packages=(g++ cmake libgtest-dev libbenchmark-dev clang libclang-rt-14-dev clang-format iproute2 openssl
    util-linux)
missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if ((${#missing[@]} == 0)); then
    exit 0
fi
if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
    echo "system-deps: installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" > /dev/null
else
    echo "system-deps: please install these Debian packages: ${missing[*]}" >&2
    exit 1
fi
