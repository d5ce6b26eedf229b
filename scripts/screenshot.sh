#!/usr/bin/env bash
# Takes the README's picture, docs/window.png: the real updater, built for the demo server,
# offering the demo release in an Xvfb of its own.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/deps.sh imagemagick
cmake --preset demo
cmake --build --preset demo -j"$(nproc)"

port=8765
work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
python3 demo/update_server.py --write-package "$work/package.msi" --package-size 1048576
build/signrelease record demo/demo-key.secret "$work/package.msi" 3.1.0 1764547200 demo/release-notes.txt \
    "http://127.0.0.1:$port/download/QuorilexVideo_32.msi" > "$work/record.json"
python3 demo/update_server.py --port "$port" --package "$work/package.msi" --body "$work/record.json" >/dev/null &
pids+=($!)
Xvfb :97 -screen 0 1000x600x24 -noreset >/dev/null 2>&1 &
pids+=($!)
export DISPLAY=:97
for _ in $(seq 50); do
    (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && xdpyinfo >/dev/null 2>&1 && break
    sleep 0.2
done
# A folder of its own for what the updater keeps: a record the demo kept, of another package
# signed at the same time, would be refused as a replay.
(cd "$work" && XDG_DATA_HOME="$work/data" exec "$OLDPWD/build/UpdateQuorilexVideo") &
pids+=($!)
window=$(xdotool search --sync --onlyvisible --class UpdateQuorilexVideo | head -n1)
# The pictures and the notes are painted by then; a moment for the first paint to land.
sleep 1
import -window "$window" docs/window.png
echo "Wrote docs/window.png"
