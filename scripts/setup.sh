#!/usr/bin/env bash
# Installs whatever the build and the tests need that this machine lacks.
# Safe to run again: it only calls apt-get when a package is missing.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

missing=()
while read -r pkg; do
  case "$pkg" in ''|'#'*) continue ;; esac
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done < "$here/packages.txt"

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # Packages of another architecture (name:arch) need it known to dpkg.
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*:\([a-z0-9]*\)$/\1/p' | sort -u); do
    if [ "$arch" != "$(dpkg --print-architecture)" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
      echo "setup: adding the $arch architecture to dpkg"
      dpkg --add-architecture "$arch"
    fi
  done
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# CPython 2.7 comes from pyenv, not from Debian.
py2=$(pyenv prefix 2.7.18 2>/dev/null || echo "$HOME/.pyenv/versions/2.7.18")/bin/python2.7
if [ ! -x "$py2" ]; then
  echo "setup: CPython 2.7.18 is missing (expected pyenv's at $py2)" >&2
  exit 1
fi
