#!/bin/sh
# Renders each manual page given and fails on any warning of the formatter,
# on any control byte in the page's source (a literal form feed where a \f
# font escape was meant renders as stray letters without a warning) or in its
# rendered text; skipped (77) where man is not installed.
command -v man >/dev/null 2>&1 || exit 77
for page in "$@"; do
  bad=$(LC_ALL=C grep -n '[[:cntrl:]]' "$page" | head -3 | cat -v)
  [ -z "$bad" ] || { echo "$page: control byte in source: $bad"; exit 1; }
  warnings=$(MANWIDTH=80 man --warnings -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || { echo "$page: $warnings"; exit 1; }
  text=$(MANWIDTH=80 man -l "$page" 2>/dev/null)
  printf '%s\n' "$text" | grep -q "^EXIT STATUS" || { echo "$page does not render"; exit 1; }
  bad=$(printf '%s\n' "$text" | LC_ALL=C grep -n '[[:cntrl:]]' | head -3 | cat -v)
  [ -z "$bad" ] || { echo "$page: control byte in rendered text: $bad"; exit 1; }
done
