#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing Korvane
# need, and only those that are missing: a second run does nothing.
set -euo pipefail

packages=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools libgl-dev   # toolkit and its build glue
    fonts-wqy-microhei                          # the window's Chinese texts
    xvfb xauth x11-utils x11-apps netpbm        # run and screenshot on a box without a display
    iproute2 util-linux                         # network tests in a namespace of their own
    socat                                       # linked pseudo-terminal pairs: the simulator on a "real" line
    tshark wireshark-common                     # the dissector's test (tshark with Lua, text2pcap)
    nlohmann-json3-dev                          # korvane-cli's JSON lines, also in the Windows build
    python3 python3-pytest python3-yaml         # the Python package's tests, with Debian's python3
    python3-labgrid ser2net                     # ... through a labgrid environment and ser2net
    libtelnet-dev                               # the telnet layer under rfc2217:// ports
)
if [ "${KORVANE_DEPS_EXTRA:-}" != "" ]; then
    read -r -a extra <<< "$KORVANE_DEPS_EXTRA"
    packages+=("${extra[@]}")
fi

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        sudo="sudo"
    else
        echo "Missing packages (${missing[*]}) and neither root nor sudo: install them and run again." >&2
        exit 1
    fi
fi
$sudo apt-get update -qq
# Through env: sudo drops the caller's environment, and wireshark-common
# would otherwise stop to ask whether non-root users may capture.
# Another install under way (a second make, say) is waited for, not failed on.
$sudo env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}"
