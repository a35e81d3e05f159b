#!/usr/bin/env bash
# Installs what the build and the tests need and is missing on this machine:
# Debian packages, and one small virtual environment per CPython (3.12, 3.13)
# with the interpreter's own pip (from its bundled ensurepip wheel, offline)
# and Debian's pure-Python pytest, setuptools and wheel visible. Safe to run
# again; it only adds what is missing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(g++ cmake pkg-config libyaml-dev libre2-dev libicu-dev libgtest-dev libbenchmark-dev
          python3-pytest python3-setuptools python3-wheel)
[ "${OSSEL_WITH_FUZZ:-0}" = 1 ] && packages+=(clang libclang-rt-14-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  sudo_cmd=""
  [ "$(id -u)" -ne 0 ] && sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  $sudo_cmd apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# One venv per interpreter, with Debian's dist-packages appended to sys.path
# (pytest, setuptools and wheel are pure Python; PyPI is not reachable here).
# The venv's own pip comes first on sys.path, ahead of Debian's older one.
for version in 3.12 3.13; do
  venv="$root/build/venv-$version"
  # A venv made before the venvs carried pip is made again.
  if [ -x "$venv/bin/python" ] && ! ls "$venv"/lib/python$version/site-packages/pip >/dev/null 2>&1; then
    rm -rf "$venv"
  fi
  [ -x "$venv/bin/python" ] && continue
  interpreter=$(ls -d /root/.pyenv/versions/$version.*/bin/python$version 2>/dev/null | sort -V | tail -n 1 || true)
  [ -n "$interpreter" ] || interpreter=$(command -v python$version || true)
  if [ -z "$interpreter" ]; then
    echo "setup: no CPython $version found" >&2
    exit 1
  fi
  "$interpreter" -m venv "$venv"
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  echo /usr/lib/python3/dist-packages > "$site/debian-dist-packages.pth"
done
