#!/usr/bin/env bash
# Brings the interpreters of cmake/interpreters.txt that come from another
# Debian suite or architecture into the project's cache folder, once each.
# They are downloaded with a private apt configuration (its own sources
# list, package lists, download cache and an empty status: nothing of the
# system's dpkg state changes) and unpacked into
# <cache>/<platform>-python<version>/root.
#
#   scripts/fetch_pythons.sh [WORD...]    WORD: <platform>-python<tag>; default: all
#
# The cache folder is $TILESTREAM_PYTHON_CACHE (default
# /var/cache/tilestream-python), or ${XDG_CACHE_HOME:-~/.cache}/tilestream-python
# where that cannot be written; the builds look in the same two places
# (cmake/PackagedPython.cmake). The packages come from the Debian mirror of
# this system's apt sources, or from $TILESTREAM_DEBIAN_MIRROR.
#
# An interpreter that cannot be had gets one line saying why and what to do,
# on standard error and in <folder>/unavailable, where the build reads it;
# the exit status stays 0 (the build fails with that line where the test
# command requires the interpreter).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
list=$top/cmake/interpreters.txt

cache=${TILESTREAM_PYTHON_CACHE:-/var/cache/tilestream-python}
if ! { mkdir -p "$cache" && [ -w "$cache" ]; } 2>/dev/null; then
  # Not ours to write (not root, read-only /var): a cache of this user's.
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/tilestream-python
  mkdir -p "$cache"
fi
# One download and unpacking at a time, whatever runs share the cache.
exec 9> "$cache/.lock"
flock 9

# The Debian mirror this system's apt uses (one-line or deb822 sources).
mirror() {
  if [ -n "${TILESTREAM_DEBIAN_MIRROR:-}" ]; then
    echo "${TILESTREAM_DEBIAN_MIRROR%/}"
    return
  fi
  local url
  url=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
          2>/dev/null | grep -oE '^[[:space:]]*(deb(\s+\[[^]]*\])?|URIs:)\s+https?://\S+/debian/?(\s|$)' |
          grep -oE 'https?://\S+/debian' | head -n1 || true)
  echo "${url:-http://deb.debian.org/debian}"
}

# The first complaint of apt's output (standard input), without its "E: ".
complaint() {
  local text line pattern
  text=$(cat)
  for pattern in '^E: ' '^W: Failed to fetch' '^(W|Err)'; do
    line=$(grep -m1 -E "$pattern" <<< "$text") && break
  done
  sed -E 's/^(E|W|Err[^ ]*): *//; s/[[:space:]]+/ /g; s/ $//' <<< "${line:-apt gave no reason}"
}

# fetch WORD VERSION SUITE ARCH PACKAGE...: one interpreter into its folder.
fetch() {
  local word=$1 version=$2 suite=$3 arch=$4
  shift 4
  local dir=$cache/${word%%-*}-python$version
  local want="$suite/$arch $*"
  if [ -f "$dir/root/.packages" ] && [ "$(cat "$dir/root/.packages")" = "$want" ]; then
    return 0
  fi
  local url apt out reason=
  url=$(mirror)
  apt=$dir/apt
  echo "setup: fetching $word (CPython $version, $arch, Debian $suite from $url) into $dir"
  rm -rf "$apt"
  mkdir -p "$apt/lists/partial" "$apt/archives/partial" "$apt/debs"
  : > "$apt/status"
  echo "deb [arch=$arch signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $url $suite main" \
    > "$apt/sources.list"
  local opts=(-q -o Dir::Etc::SourceList="$apt/sources.list" -o Dir::Etc::SourceParts=/dev/null
              -o Dir::Etc::PreferencesParts=/dev/null -o Dir::State::Lists="$apt/lists"
              -o Dir::State::status="$apt/status" -o Dir::Cache="$apt"
              -o Dir::Cache::archives="$apt/archives" -o APT::Architecture="$arch"
              -o APT::Architectures="$arch" -o Acquire::Retries=1 -o Acquire::http::Timeout=30)
  # apt drops to its sandbox user, who may not write here.
  [ "$(id -u)" != 0 ] || opts+=(-o APT::Sandbox::User=root)
  if ! out=$(apt-get "${opts[@]}" update 2>&1) || ! ls "$apt/lists/"*_Packages* >/dev/null 2>&1; then
    reason="no package list of $suite/$arch from $url ($(complaint <<< "$out"))"
  elif ! out=$(cd "$apt/debs" && apt-get "${opts[@]}" download "$@" 2>&1); then
    reason="$(complaint <<< "$out")"
  fi
  if [ -z "$reason" ]; then
    local unpacked
    unpacked=$(mktemp -d "$dir/root.XXXXXX")
    for deb in "$apt/debs/"*.deb; do
      dpkg-deb -x "$deb" "$unpacked"
    done
    echo "$want" > "$unpacked/.packages"
    rm -rf "$dir/root" "$apt" "$dir/unavailable"
    mv "$unpacked" "$dir/root"
    echo "setup: $word is $dir/root"
    return 0
  fi
  local line="$word cannot be had: $reason. Make $url reachable (or name a mirror that serves"
  line+=" $suite in TILESTREAM_DEBIAN_MIRROR) and run scripts/setup.sh again, or test without it:"
  line+=" TILESTREAM_WITHOUT=$word ./scripts/test.sh"
  rm -rf "$apt"
  echo "$line" > "$dir/unavailable"
  echo "$line" >&2
}

while read -r platform tag version source packages; do
  case "$platform" in ''|'#'*) continue ;; esac
  [ "$source" != apt ] || continue
  word=$platform-python$tag
  if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qxF "$word"; then
    continue
  fi
  # shellcheck disable=SC2086 # the packages are words
  fetch "$word" "$version" "${source%/*}" "${source#*/}" $packages
done < "$list"
