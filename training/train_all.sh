#!/usr/bin/env bash
# Trains every built-in model in turn (resuming any checkpoint), then prints
# its held-out evaluation. Each item is NAME:MINUTES[:TRAIN_SIZE]; minutes and
# data grow with the model's size and with how hard its circuit is to read.
# DISTRIBUTION=wide trains on the wide distribution (checkpoints in
# training/checkpoints/wide/) and evaluates on both held-out sets.
set -euo pipefail
cd "$(dirname "$0")/.."
dist="${DISTRIBUTION:-legacy}"
default="rc:3 rq:5 randles:5 rc_l:4 rq_l:4 two_rc:4 two_rq:4 two_rc_l:4 two_rq_l:15:400000 sei_randles:30:600000 sei_randles_wo:45:600000"
for spec in "${@:-$default}"; do
  for item in $spec; do
    IFS=: read -r name minutes size <<<"$item"
    python3 training/train.py "$name" --minutes "$minutes" --train-size "${size:-120000}" --distribution "$dist"
    python3 training/evaluate.py "$name" --count 500
    if [ "$dist" = wide ]; then
      python3 training/evaluate.py "$name" --count 500 --distribution wide
    fi
  done
done
