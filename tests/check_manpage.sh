#!/bin/sh
# SPDX-License-Identifier: MIT
# Renders a man page and fails on any warning from the formatter.
page=$1
warnings=$(man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
    echo "$page: $warnings"
    exit 1
fi
out=$(man -E UTF-8 -l "$page" 2>/dev/null | grep -c NAME)
[ "$out" -ge 1 ] || { echo "$page: rendered without a NAME section"; exit 1; }
