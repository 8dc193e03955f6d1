#!/usr/bin/env bash
# The whole test suite from nothing: installs the Debian packages it needs (as root; otherwise
# it names them and stops), then configures, builds and runs every test. CTest's closing line
# says how many ran.
set -eu
cd "$(dirname "$0")"
. contrib/need-packages.sh
need_packages cmake make g++ libgtest-dev curl wget valgrind man-db groff-base haproxy prometheus \
    openssl socat ffmpeg chromium
exec cmake --workflow --preset ci
