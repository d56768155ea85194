#!/bin/sh
# HACKING.md draws the launcher's folders as the build links them: the
# drawing that tools/launcher-links makes from CMakeLists.txt stands in it
# line for line. Skipped (77) without python3.
root=$1
command -v python3 >/dev/null 2>&1 || { echo "no python3: skipped"; exit 77; }
drawing=$(python3 "$root/tools/launcher-links") || exit 1
DRAWING="$drawing" python3 - "$root/HACKING.md" <<'PY'
import os
import sys
drawing = os.environ["DRAWING"].strip("\n")
text = open(sys.argv[1], encoding="utf-8").read()
if "```\n" + drawing + "\n```" not in text:
    print("HACKING.md's drawing of the launcher's folders is not the build's; tools/launcher-links draws:")
    print(drawing)
    sys.exit(1)
PY
