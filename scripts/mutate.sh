#!/usr/bin/env bash
# The seeded mutation check: how many small faults in src/ the fast tests
# kill. Options are mutate.py's (--help); a full run takes about an hour.
exec python3 "$(dirname "$0")/mutate.py" "$@"
