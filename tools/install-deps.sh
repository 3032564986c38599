#!/bin/sh
# Installs the Debian or Ubuntu packages that the README's Quick start needs and the
# machine lacks: "build" for building romcast, "test" for building it with its tests
# and running them. Does nothing when all are there, or on a system without dpkg and
# apt-get, where CMake's configure step names what is missing. Uses sudo when not root.
set -eu

case "${1:-}" in
build) packages="cmake make g++ gzip" ;;
# GoogleTest for the unit tests, Python for the end-to-end runner, and the locale
# sources from which the tests build a double-byte locale with localedef.
test) packages="cmake make g++ gzip libgtest-dev python3 locales" ;;
*)
  echo "usage: $0 build|test" >&2
  exit 1
  ;;
esac

command -v dpkg-query >/dev/null 2>&1 && command -v apt-get >/dev/null 2>&1 || exit 0
missing=""
for package in $packages; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing="$missing $package"
done
[ -n "$missing" ] || exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
fi
echo "Installing:$missing"
$sudo apt-get update
# shellcheck disable=SC2086 # one word per package
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
