#!/usr/bin/env bash
# Installs what the build and the tests need and is missing on this machine:
# Debian packages, and one small virtual environment per CPython (3.12, 3.13)
# that sees Debian's pure-Python pytest. Safe to run again; it only adds what
# is missing.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

packages=(g++ cmake pkg-config libyaml-dev libre2-dev libicu-dev libgtest-dev libbenchmark-dev
          python3-pytest)
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
# (pytest is pure Python; PyPI is not reachable here).
for version in 3.12 3.13; do
  venv="$root/build/venv-$version"
  [ -x "$venv/bin/python" ] && continue
  interpreter=$(ls -d /root/.pyenv/versions/$version.*/bin/python$version 2>/dev/null | sort -V | tail -n 1 || true)
  [ -n "$interpreter" ] || interpreter=$(command -v python$version || true)
  if [ -z "$interpreter" ]; then
    echo "setup: no CPython $version found" >&2
    exit 1
  fi
  "$interpreter" -m venv --without-pip "$venv"
  site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  echo /usr/lib/python3/dist-packages > "$site/debian-dist-packages.pth"
done
