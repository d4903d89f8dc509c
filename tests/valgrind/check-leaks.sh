#!/usr/bin/env bash
# Runs tests/valgrind/entry.R (the .C entry) and tests/valgrind/engine.R (the
# general sampler) under valgrind in R, and fails when a definite or indirect
# leak, or an invalid read or write, has a frame in the package's shared
# object.  R's own start-up allocations are not the package's concern.
#   check-leaks.sh [LOG_PREFIX]   logs go to LOG_PREFIX-entry.log, -engine.log
set -euo pipefail
prefix=${1:-build/valgrind}
prefix=${prefix%.log}
mkdir -p "$(dirname "$prefix")"
status=0
for script in entry engine; do
  log="$prefix-$script.log"
  R -d "valgrind --leak-check=full --show-leak-kinds=definite,indirect --num-callers=30 --log-file=$log" \
    --vanilla --no-echo -f "tests/valgrind/$script.R"
  if ! awk '
    function check() { if (rec ~ /(mcar\.so|(matrix|generator|mcar|mcar_main|map|terms|moves_[a-z]+|sweep|chain|sexp|run|map_call|contract|init)\.cpp:|(rng|family|engine|numeric|parallel|thread_pool|chain|sexp|contract)\.h:)/ && rec ~ /(definitely|indirectly) lost|Invalid (read|write)|uninitialised/) { bad++; print rec } }
    /^==[0-9]+== *$/ { if (rec != "") check(); rec = ""; next }
    { rec = rec "\n" $0 }
    END { check(); if (bad) { print bad " problem(s) from the package in " FILENAME; exit 1 } }
  ' "$log"; then
    status=1
  fi
  grep -E "definitely lost|indirectly lost|ERROR SUMMARY" "$log" | sed "s/^==[0-9]*== /  $script: R total: /"
done
if [ $status -eq 0 ]; then
  echo "valgrind (R): no leak or memory error from the package"
fi
exit $status
