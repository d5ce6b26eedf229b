#!/bin/sh
# Signs the published record again with a new expiry a week ahead, well before the old one
# passes: run it daily (cron, or the systemd timer in docs/publishing.md). Only the expiry
# changes; `signrelease resign` checks the record with the key first and replaces it in one
# rename, so a server never sends half of it. Nothing here changes from one release to the next.
#
#   resign.sh SIGNRELEASE SECRET_KEY RECORD
set -eu
if [ $# -ne 3 ]; then
    echo "usage: $0 SIGNRELEASE SECRET_KEY RECORD" >&2
    exit 2
fi
exec "$1" resign "$3" "$2" --expires +7d
