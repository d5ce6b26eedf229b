#!/usr/bin/env bash
# Builds the updater for the bundled demo server and runs the two together.
# The package lands in build/demo-run; closing the window stops the server.
set -euo pipefail
cd "$(dirname "$0")/.."

port=8765
scripts/deps.sh
cmake --preset demo
cmake --build --preset demo -j"$(nproc)"

# A package and its release record signed with the demo key; the package is served
# throttled so the progress bar has something to show.
python3 demo/update_server.py --write-package build/demo-package.msi --package-size 16777216
build/signrelease record demo/demo-key.secret build/demo-package.msi 3.1.0 1764547200 demo/release-notes.txt \
    "http://127.0.0.1:$port/download/QuorilexVideo_32.msi" > build/demo-record.json
python3 demo/update_server.py --port "$port" --rate 4000000 \
    --package build/demo-package.msi --body build/demo-record.json &
server=$!
trap 'kill "$server" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
    sleep 0.1
done

mkdir -p build/demo-run
cd build/demo-run
../UpdateQuorilexVideo
