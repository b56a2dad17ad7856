#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet.
set -euo pipefail
missing=()
for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ "${#missing[@]}" -eq 0 ] && exit 0
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
# A mirror in the middle of a sync fails an index now and then: try again,
# and go on with what was fetched if it still fails (the install then says
# which package it cannot find).
for attempt in 1 2 3; do
    "${sudo_cmd[@]}" apt-get update && break
    [ "$attempt" = 3 ] || sleep 10
done
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y "${missing[@]}"
