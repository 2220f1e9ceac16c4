#!/usr/bin/env bash
# Trains every built-in model in turn (resuming any checkpoint), then prints
# its held-out evaluation. Minutes per model scale with its channel count.
set -euo pipefail
cd "$(dirname "$0")/.."
for spec in rc:3 rq:5 randles:5 rc_l:5 rq_l:5 two_rc:5 two_rq:5 two_rc_l:5 two_rq_l:5 sei_randles:8 sei_randles_wo:8; do
  name=${spec%%:*}
  minutes=${spec##*:}
  python3 training/train.py "$name" --minutes "$minutes"
  python3 training/evaluate.py "$name" --count 500
done
