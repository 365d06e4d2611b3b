#!/usr/bin/env bash
# What an update server can make the client spend: peak memory while a 1 GiB installer downloads,
# signed or not, and what a 2 MB module package that unpacks to 2 GiB (a "zip bomb") leaves on disk. The update
# steps run in a small driver linked with the core library of the given build folder (no running
# program, so no single-instance lock is taken); a Python server on 127.0.0.1 plays the update
# server. Usage: bench/update_bench.sh [build-folder] [source-folder]   (defaults: build, .)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
src=$(realpath "${2:-.}")
[ -f "$build/Assistant/libkx_core.a" ] || { echo "build kx_core first in $build" >&2; exit 1; }

work=$(mktemp -d /tmp/kx-update-bench-XXXXXX)
server_pid=""
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

g++ -std=c++20 -O2 -I"$src/Assistant" bench/update_download_driver.cpp "$build/Assistant/libkx_core.a" \
  $(pkg-config --libs libzip libcurl) -lcrypto -lpthread -ldl -o "$work/driver"

# A 1 GiB installer (sparse, so it costs no disk) and a package holding 2 GiB of zeros.
truncate -s 1G "$work/installer.bin"
mkdir -p "$work/pkg"
truncate -s 2G "$work/pkg/filler.bin"
(cd "$work/pkg" && zip -q -9 ../package.zip filler.bin && rm filler.bin)
openssl genpkey -algorithm ed25519 -out "$work/update.key"
openssl pkey -in "$work/update.key" -pubout -out "$work/update.pub"
openssl pkeyutl -sign -inkey "$work/update.key" -rawin -in "$work/installer.bin" -out "$work/installer.sig"
signature="ed25519=$(base64 -w0 "$work/installer.sig")"
echo "package: $(stat -c %s "$work/package.zip") bytes, unpacking to $((2 << 30)) bytes"

port=$(python3 -c 'import socket;s=socket.socket();s.bind(("127.0.0.1",0));print(s.getsockname()[1])')
cat > "$work/server.py" <<PY
import http.server, os, shutil
class H(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        self.rfile.read(int(self.headers.get('Content-Length', 0)))
        app = self.path.endswith('/app')
        path = '$work/installer.bin' if app else '$work/package.zip'
        self.send_response(200)
        self.send_header('app_name' if app else 'UpgradeInfo', 'setup.exe' if app else '{"print":"1.1"}')
        self.send_header('Content-Length', str(os.path.getsize(path)))
        if app:
            self.send_header('Content-Signature', '$signature')
        self.end_headers()
        with open(path, 'rb') as f:
            shutil.copyfileobj(f, self.wfile, 1 << 20)
    def log_message(self, *a): pass
http.server.ThreadingHTTPServer(('127.0.0.1', $port), H).serve_forever()
PY
python3 "$work/server.py" & server_pid=$!
until curl -s -o /dev/null "http://127.0.0.1:$port/" 2>/dev/null; do sleep 0.05; done

prog="$work/program"
mkdir -p "$prog/conf" "$prog/comp/print"
printf '[MODULE-DLLPATH]\r\nprint=comp\\print\\print.dll\r\n' > "$prog/conf/dll.ini"
echo old > "$prog/comp/print/print.dll"

echo "== 1 GiB installer download"
/usr/bin/time -f "time: %e s, max RSS (time -v): %M kB" "$work/driver" installer "http://127.0.0.1:$port/upgrade/app" "$prog"
rm -rf "$prog/download"
echo "== the same installer, signed, with conf/update.pub in place (verified from a read-only mapping)"
cp "$work/update.pub" "$prog/conf/update.pub"
/usr/bin/time -f "time: %e s, max RSS (time -v): %M kB" "$work/driver" installer "http://127.0.0.1:$port/upgrade/app" "$prog"
rm -rf "$prog/download" "$prog/conf/update.pub"
echo "== 2 MB package that unpacks to 2 GiB"
/usr/bin/time -f "time: %e s, max RSS (time -v): %M kB" "$work/driver" package "http://127.0.0.1:$port/upgrade/dll" "$prog"
