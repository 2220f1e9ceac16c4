#!/usr/bin/env bash
# Trains every built-in model in turn (resuming any checkpoint), then prints
# its held-out evaluation. Minutes per model grow with its channel count.
set -euo pipefail
cd "$(dirname "$0")/.."
for spec in "${@:-rc:3 rq:5 randles:5 rc_l:4 rq_l:4 two_rc:4 two_rq:4 two_rc_l:4 two_rq_l:4 sei_randles:7 sei_randles_wo:7}"; do
  for item in $spec; do
    name=${item%%:*}
    minutes=${item##*:}
    python3 training/train.py "$name" --minutes "$minutes"
    python3 training/evaluate.py "$name" --count 500
  done
done
