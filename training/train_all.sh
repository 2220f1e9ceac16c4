#!/usr/bin/env bash
# Trains every built-in model in turn (resuming any checkpoint), then prints
# its held-out evaluation. Minutes per model scale with its channel count.
set -euo pipefail
cd "$(dirname "$0")/.."
for spec in rc:3 rq:6 randles:6 rc_l:6 rq_l:6 two_rc:6 two_rq:6 two_rc_l:6 two_rq_l:6 sei_randles:10 sei_randles_wo:10; do
  name=${spec%%:*}
  minutes=${spec##*:}
  python3 training/train.py "$name" --minutes "$minutes"
  python3 training/evaluate.py "$name" --count 500
done
