#!/usr/bin/env bash
# Regenerates every image of the installer (embedded resources, skin, icons).
# The generated files are committed; the build never runs this.
# Usage: tools/artwork/make_artwork.sh [--check] [--preview]
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
packages=(python3-pil python3-cairo fonts-wqy-microhei)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
    sudo_cmd=()
    ((EUID == 0)) || sudo_cmd=(sudo)
    "${sudo_cmd[@]}" apt-get update
    "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
fi

# Debian's interpreter, where the packages above live; a pyenv python would not see them.
exec /usr/bin/python3 "$here/make_artwork.py" "$@"
