#!/usr/bin/env bash
# Decoding through a Dask cluster whose connections all use TLS, on this machine: a private CA, a
# certificate it signs, a scheduler and a worker that require encryption, and tovrel-decode as
# their client. The README's cluster section walks through the same steps for real machines.
#
#   examples/tls-cluster.sh FOLDER INPUT OUTPUT     (with the environment's bin/ on PATH)
set -euo pipefail
folder=$(realpath -m "$1")
input=$(realpath "$2")
output=$(realpath -m "$3")
mkdir -p "$folder"
cd "$folder"

# The CA, and a certificate for 127.0.0.1 signed by it. On real machines each node gets its own,
# for its own name or address; the CA certificate goes to every node, the CA key to none.
openssl req -x509 -newkey rsa:2048 -nodes -days 30 -subj "/CN=tovrel cluster CA" \
    -keyout ca.key -out ca.pem 2> /dev/null
openssl req -newkey rsa:2048 -nodes -subj "/CN=127.0.0.1" -keyout node.key -out node.csr \
    2> /dev/null
printf 'subjectAltName=IP:127.0.0.1\n' > node.ext
openssl x509 -req -in node.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 30 \
    -extfile node.ext -out node.pem 2> /dev/null

# Dask reads its TLS settings from the environment, for the scheduler, the workers and the
# client (tovrel-decode) alike.
export DASK_DISTRIBUTED__COMM__REQUIRE_ENCRYPTION=True
export DASK_DISTRIBUTED__COMM__TLS__CA_FILE=$folder/ca.pem
for role in SCHEDULER WORKER CLIENT; do
    export "DASK_DISTRIBUTED__COMM__TLS__${role}__CERT=$folder/node.pem"
    export "DASK_DISTRIBUTED__COMM__TLS__${role}__KEY=$folder/node.key"
done

# Every listener on 127.0.0.1 (on real machines: the node's private address), the dashboards too.
dask scheduler --protocol tls --host 127.0.0.1 --port 0 --dashboard-address 127.0.0.1:0 \
    --scheduler-file scheduler.json > scheduler.log 2>&1 &
scheduler=$!
trap 'kill $scheduler ${worker:-} 2> /dev/null || true; wait' EXIT
for _ in $(seq 100); do [[ -s scheduler.json ]] && break; sleep 0.2; done
dask worker --scheduler-file scheduler.json --nthreads 1 --host 127.0.0.1 \
    --dashboard-address 127.0.0.1:0 > worker.log 2>&1 &
worker=$!
address=$(python -c 'import json, sys; print(json.load(open(sys.argv[1]))["address"])' \
    scheduler.json)
tovrel-decode "$input" -o "$output" --scheduler "$address"

# Nothing listens beyond 127.0.0.1: the scheduler, the worker, its nanny's worker process.
processes=" $scheduler $worker $(pgrep -P "$worker" | tr '\n' ' ')"
while read -r _ _ _ local _ users; do
    pid=$(sed -n 's/.*pid=\([0-9]*\).*/\1/p' <<< "$users")
    if [[ "$processes" == *" $pid "* && "$local" != 127.0.0.1:* ]]; then
        echo "tls-cluster: process $pid listens on $local" >&2
        exit 1
    fi
done < <(ss -ltnpH)
