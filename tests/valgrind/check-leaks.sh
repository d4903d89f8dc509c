#!/usr/bin/env bash
# Runs tests/valgrind/entry.R under valgrind in R and fails when a definite or
# indirect leak, or an invalid read or write, has a frame in the package's
# shared object.  R's own start-up allocations are not the package's concern.
set -euo pipefail
log=${1:-build/valgrind-entry.log}
mkdir -p "$(dirname "$log")"
R -d "valgrind --leak-check=full --show-leak-kinds=definite,indirect --num-callers=30 --log-file=$log" \
  --vanilla --no-echo -f tests/valgrind/entry.R
awk '
  /^==[0-9]+== *$/ { if (rec != "" && rec ~ /(mcar\.so|(matrix|generator|mcar|mcar_main)\.cpp:)/ && rec ~ /(definitely|indirectly) lost|Invalid (read|write)|uninitialised/) { bad++; print rec } ; rec = ""; next }
  { rec = rec "\n" $0 }
  END { if (rec ~ /(mcar\.so|(matrix|generator|mcar|mcar_main)\.cpp:)/ && rec ~ /(definitely|indirectly) lost|Invalid (read|write)|uninitialised/) { bad++; print rec }
        if (bad) { print bad " problem(s) from the package in " FILENAME; exit 1 } }
' "$log"
grep -E "definitely lost|indirectly lost|ERROR SUMMARY" "$log" | sed 's/^==[0-9]*== /  R total: /'
echo "valgrind (R): no leak or memory error from the package"
