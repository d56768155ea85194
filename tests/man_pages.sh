#!/bin/sh
# Renders each manual page given and fails on any warning of the formatter;
# skipped (77) where man is not installed.
command -v man >/dev/null 2>&1 || exit 77
for page in "$@"; do
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
  MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q "^EXIT STATUS" || { echo "$page does not render"; exit 1; }
done
