#!/usr/bin/env bash
# Sets everything up (see setup.sh) and runs the main job: makes a demo score file of synthetic
# chunks with known true sequences, decodes it to FASTQ with the command-line decoder, and reports
# how close the decoded reads are to the truth.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/setup.sh

demo=build/demo
.venv/bin/python scripts/demo_data.py make "$demo/chunks.pt"
.venv/bin/tovrel-decode "$demo/chunks.pt" -o "$demo/chunks.fastq" --beam-size 32
echo "FASTQ written to $demo/chunks.fastq; its first record:"
head -n 4 "$demo/chunks.fastq"
.venv/bin/python scripts/demo_data.py compare "$demo/chunks.pt" "$demo/chunks.fastq"
