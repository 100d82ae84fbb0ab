#!/usr/bin/env bash
# tls.sh: TLS on streams against its peers, each measured in the same run (bench/tls_bench.py):
# 100 MiB over HTTPS by examples/http_get.zor vs curl; a TcpSend loop between two zor-host processes
# vs openssl s_client to s_server; 1,000 handshakes vs python3's client. Usage: bench/tls.sh [BUILD_DIR].
set -euo pipefail
build=$(realpath "${1:-${ZOR_BUILD_DIR:-$(dirname "$0")/../build}}")
exec /usr/bin/python3 "$(dirname "$0")/tls_bench.py" "$build"
