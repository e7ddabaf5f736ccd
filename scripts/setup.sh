#!/usr/bin/env bash
# Installs whatever the build and the tests need that this machine lacks:
# the packages of packages.txt and those of the interpreters that
# cmake/interpreters.txt has installed by apt, then the interpreters it lists
# from other Debian suites and architectures, which fetch_pythons.sh unpacks
# into the project's cache folder (nothing installed). Safe to run again: it
# only calls apt-get when a package is missing, and fetches an interpreter
# once.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

wanted=()
while read -r pkg; do
  case "$pkg" in ''|'#'*) continue ;; esac
  wanted+=("$pkg")
done < "$here/packages.txt"
while read -r platform tag version source packages; do
  case "$platform" in ''|'#'*) continue ;; esac
  # shellcheck disable=SC2206 # the packages are words
  [ "$source" != apt ] || wanted+=($packages)
done < "$here/../cmake/interpreters.txt"

missing=()
for pkg in "${wanted[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
done

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

"$here/fetch_pythons.sh"
