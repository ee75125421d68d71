#!/usr/bin/env bash
# Downloads a 256 MiB file from nginx over loopback, HTTP and HTTPS, with the
# package core's verified download beside curl, RUNS rounds taking the two in
# turn, and prints the median throughputs and their ratio, and our time beside
# the floor's: the bare 1536-byte receives and writes. BUILD_DIR names a
# Release build.
set -euo pipefail
cd "$(dirname "$0")/../.."
: "${BUILD_DIR:?set BUILD_DIR to a Release build directory}"
source bench/common.sh
RUNS=${NET_RUNS:-3}
BENCH="$BUILD_DIR/bench/net/net_download_bench"
FLOOR="$BUILD_DIR/bench/floor/method_floor"
ADDRESS=127.0.65.1
SIZE_MIB=${SIZE_MIB:-256}

WORK=$(mktemp -d /tmp/qor-net-bench-XXXXXX)
NGINX_PID=""
cleanup() {
  if [ -n "$NGINX_PID" ]; then
    kill "$NGINX_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$NGINX_PID" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$NGINX_PID" 2>/dev/null || true
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT

mkdir -p "$WORK/root" "$WORK/machine/media"
head -c $((SIZE_MIB * 1024 * 1024)) /dev/urandom > "$WORK/root/big.bin"
DIGEST=$(sha256sum "$WORK/root/big.bin" | cut -c1-64)
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=qor-bench \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" 2>/dev/null
cat > "$WORK/nginx.conf" <<CONF
daemon off;
user root;
worker_processes 1;
pid $WORK/nginx.pid;
error_log $WORK/error.log;
events { worker_connections 64; }
http {
  access_log off;
  sendfile on;
  client_body_temp_path $WORK/body;
  proxy_temp_path $WORK/proxy;
  fastcgi_temp_path $WORK/fastcgi;
  uwsgi_temp_path $WORK/uwsgi;
  scgi_temp_path $WORK/scgi;
  server {
    listen $ADDRESS:80;
    listen $ADDRESS:443 ssl;
    ssl_certificate $WORK/cert.pem;
    ssl_certificate_key $WORK/key.pem;
    root $WORK/root;
  }
}
CONF
nginx -p "$WORK" -e "$WORK/error.log" -c "$WORK/nginx.conf" &
NGINX_PID=$!
for _ in $(seq 100); do
  curl -s -o /dev/null "http://$ADDRESS/" && break
  sleep 0.1
done
echo "bench.test $ADDRESS" > "$WORK/machine/hosts"

for scheme in http https; do
  url="$scheme://bench.test/big.bin"
  : >"$WORK/curl.s" && : >"$WORK/ours.s" && : >"$WORK/hash.s" && : >"$WORK/floor.s"
  for _ in $(seq "$RUNS"); do
    bench_wall curl -sk --resolve "bench.test:80:$ADDRESS" --resolve "bench.test:443:$ADDRESS" \
      -o "$WORK/curl.bin" "$url" >>"$WORK/curl.s"
    bytes=$(stat -c %s "$WORK/curl.bin")
    # Ours also hashes every byte: curl's file through sha256sum, for scale.
    bench_wall sha256sum "$WORK/curl.bin" >>"$WORK/hash.s"
    rm -f "$WORK/curl.bin"
    read -r ours_bytes ours_s < <(QOR_MACHINE="$WORK/machine" "$BENCH" "$url" "$DIGEST" /big.bin)
    rm -f "$WORK/machine/media/big.bin"
    [ "$ours_bytes" = "$bytes" ] || { echo "size mismatch: $ours_bytes vs $bytes"; exit 1; }
    echo "$ours_s" >>"$WORK/ours.s"
    # The floor: the same bytes over plain HTTP in 1536-byte receives, each
    # written as it arrives, nothing else (no TLS, no digest, no parsing).
    "$FLOOR" receive "$ADDRESS" 80 /big.bin "$WORK/floor.bin" >>"$WORK/floor.s"
    rm -f "$WORK/floor.bin"
  done
  ours_rate=$(bench_rate "$bytes" "$(bench_median <"$WORK/ours.s")")
  curl_rate=$(bench_rate "$bytes" "$(bench_median <"$WORK/curl.s")")
  bench_compare_rate "verified download, $scheme" "$ours_rate" "curl" "$curl_rate" -
  bench_compare_floor "verified download, $scheme, from floor" "$(bench_median <"$WORK/ours.s")" \
    "1536-byte receives and writes alone, over HTTP" "$(bench_median <"$WORK/floor.s")" -
  echo "    (sha256sum of the same $SIZE_MIB MiB alone: $(bench_median <"$WORK/hash.s") s)"
done
