#!/usr/bin/env bash
# Fine-tunes built-in models on an equal mix of the legacy and the wide
# distribution, starting from the networks in weights/, then evaluates each
# on both held-out sets. Each item is NAME:MINUTES:TRAIN_SIZE. Resumable: a
# stopped run continues its checkpoint in training/checkpoints/legacy+wide/
# (the starting file is read only when no checkpoint exists).
#
#   bash training/finetune_wide.sh                       # the models as committed
#   OUT=/tmp/cand bash training/finetune_wide.sh two_rq:10:200000
set -euo pipefail
cd "$(dirname "$0")/.."
out="${OUT:-weights}"
default="two_rc:6:200000 two_rq:10:200000 two_rq_l:10:200000 sei_randles:20:400000 sei_randles_wo:25:400000 two_rc_l:10:200000"
for item in ${*:-$default}; do
  IFS=: read -r name minutes size <<<"$item"
  python3 training/train.py "$name" --distribution legacy+wide --init builtin --lr 1e-3 \
    --minutes "$minutes" --train-size "$size" --out-dir "$out" --threads 2
  python3 training/evaluate.py "$name" --count 500 --weights "$out/$name.eisnn"
  python3 training/evaluate.py "$name" --count 500 --weights "$out/$name.eisnn" --distribution wide
done
