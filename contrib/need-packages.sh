# SPDX-License-Identifier: MIT
# Sourced by test.sh, contrib/cluster.sh and contrib/local-relays.sh: makes sure the Debian
# packages a command needs are installed. As root it installs the missing ones with apt-get;
# otherwise it names them in one line and stops, since nothing can be built without them.
need_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ "${#missing[@]}" -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages; as root run: apt-get install -y ${missing[*]}"
        exit 2
    fi
    echo "== installing ${missing[*]}"
    apt-get update -qq &&
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null ||
        { echo "could not install: ${missing[*]}"; exit 2; }
}
