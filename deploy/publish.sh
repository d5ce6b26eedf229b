#!/bin/sh
# Publishes a release without a gap. The package goes first, into a folder of its version
# under a temporary name renamed into place; the record that points at it is signed from
# the copy as served and replaced last, in one rename. Earlier packages stay, so that
# downloads under way finish; remove one by hand once no record names it and a day has passed.
#
#   publish.sh SIGNRELEASE SECRET_KEY PACKAGE VERSION TIME NOTES BASE_URL ROOT [RECORD OPTION]...
#
# ROOT is the served folder: ROOT/version/down_update.json and
# ROOT/download/VERSION/QuorilexVideo_32.msi. BASE_URL is where ROOT/download is served, such
# as https://updates.example.com/download. The options go to `signrelease record`
# (--mirror URL, --piece-size BYTES, --rollout-days N); a mirror must serve the same path.
set -eu
if [ $# -lt 8 ]; then
    echo "usage: $0 SIGNRELEASE SECRET_KEY PACKAGE VERSION TIME NOTES BASE_URL ROOT [RECORD OPTION]..." >&2
    exit 2
fi
signrelease=$1 key=$2 package=$3 version=$4 time=$5 notes=$6 base=${7%/} root=$8
shift 8
# The version names a folder: nothing that climbs out of it.
case "$version" in
    "" | . | .. | *[!0-9A-Za-z._-]*)
        echo "$0: VERSION may hold letters, digits, '.', '_' and '-' only" >&2
        exit 2 ;;
esac

folder="$root/download/$version"
served="$folder/QuorilexVideo_32.msi"
record="$root/version/down_update.json"
mkdir -p "$folder" "$root/version"
# A package once published under a version is never replaced: updaters may be fetching it.
if [ -e "$served" ] && ! cmp -s "$package" "$served"; then
    echo "$0: $served holds another package already; publish it under a new version" >&2
    exit 1
fi
trap 'rm -f "$served.new" "$record.new"' EXIT
if [ ! -e "$served" ]; then
    cp "$package" "$served.new"
    chmod 644 "$served.new"
    mv "$served.new" "$served"
fi
"$signrelease" record "$@" "$key" "$served" "$version" "$time" "$notes" "$base/$version/QuorilexVideo_32.msi" > "$record.new"
chmod 644 "$record.new"
mv "$record.new" "$record"
echo "published $version: $base/$version/QuorilexVideo_32.msi"
