#!/bin/sh
# Signs the published record again, well before it expires: run it daily (cron, or the
# systemd timer in docs/publishing.md). The new record replaces the old one in one rename,
# so a server never sends half of it.
#
#   resign.sh SIGNRELEASE SECRET_KEY PACKAGE VERSION TIME NOTES DOWNLOAD_URI RECORD [--mirror URL]...
set -eu
if [ $# -lt 8 ]; then
    echo "usage: $0 SIGNRELEASE SECRET_KEY PACKAGE VERSION TIME NOTES DOWNLOAD_URI RECORD [--mirror URL]..." >&2
    exit 2
fi
signrelease=$1 key=$2 package=$3 version=$4 time=$5 notes=$6 uri=$7 record=$8
shift 8
"$signrelease" record "$@" "$key" "$package" "$version" "$time" "$notes" "$uri" +30d > "$record.new"
mv "$record.new" "$record"
