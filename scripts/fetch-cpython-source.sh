#!/usr/bin/env bash
# Fetch CPython 3.13's source (Debian's python3.13 source package, its upstream
# tarball only) into a cache, and print the tarball's path as the last line of
# stdout; all progress goes to stderr, so callers can write
#     tarball=$(scripts/fetch-cpython-source.sh)
#
# Used to build the free-threaded test interpreter and for the headers that
# the extension is compiled against for Windows (PC/pyconfig.h is only in the
# source).
#
# Environment:
#   QUILLET_CACHE            cache root (default: $HOME/.cache/quillet); the
#                            tarball is kept in $QUILLET_CACHE/downloads
#   QUILLET_REFETCH_SOURCE=1 fetch again even if a tarball is cached, picking
#                            up a newer one
#
# The source comes from trixie (the host is bookworm, which has no 3.13). It is
# fetched with apt through a deb-src list of this script's own that exists only
# while the download runs, so the system's apt configuration and package lists
# end up as they were. Apt checks the signature of trixie's Release file
# against the Debian archive keyring, and every file against the hashes in the
# signed Sources index; verification is never turned off. A cached tarball is
# reused without root and without touching apt.

set -euo pipefail

# stdout is reserved for the final path; everything else goes to stderr.
exec 3>&1 1>&2

log() { printf '[fetch-cpython-source] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }

for arg in "$@"; do
    case "$arg" in
        -h|--help) sed -n '2,15p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) die "unknown argument: $arg" ;;
    esac
done

cache="${QUILLET_CACHE:-$HOME/.cache/quillet}"
downloads="$cache/downloads"
mkdir -p "$downloads"

cached() {
    shopt -s nullglob
    local found=("$downloads"/python3.13_*.orig.tar.{xz,gz,bz2})
    shopt -u nullglob
    ((${#found[@]} == 1)) && printf '%s\n' "${found[0]}"
}

# Two callers at once (the Windows headers and the interpreter build) must not
# both edit the apt sources.
exec 9>"$cache/.cpython-source.lock"
if ! flock -n 9; then
    log "another fetch holds $cache/.cpython-source.lock; waiting for it"
    flock 9
fi

if [[ ${QUILLET_REFETCH_SOURCE:-0} != 1 ]] && tarball=$(cached); then
    log "reusing $(basename "$tarball")"
    printf '%s\n' "$tarball" >&3
    exit 0
fi

[[ $(id -u) == 0 ]] || die "needs root: it adds a temporary apt source list"
command -v apt-get >/dev/null || die "apt-get not found (this script expects a Debian system)"

apt_quiet=(-q -o Dpkg::Lock::Timeout=600 -o Acquire::Retries=3)

# --- where the Debian archive is -------------------------------------------------
# Use the archive URI (and keyring) that the system's own sources already use,
# so this works on mirrors and snapshots alike. Prints "URI<TAB>SIGNED-BY" for
# the main archive and for the security archive.
system_archives() {
    local f
    for f in /etc/apt/sources.list.d/*.sources; do
        [[ -f $f ]] || continue
        awk '
            function flush() {
                if (types ~ /(^| )deb( |$)/ && enabled != "no" && uris != "") {
                    split(uris, u, " "); split(suites, s, " ")
                    for (i in s) {
                        if (s[i] ~ /-security$/) sec = u[1] "\t" signed
                        else if (s[i] !~ /-/) main = u[1] "\t" signed
                    }
                }
                types = uris = suites = signed = enabled = ""
            }
            /^[ \t]*#/ { next }
            /^[ \t]*$/ { flush(); next }
            /^[ \t]/ { next }  # continuation line, e.g. an inline key block
            {
                key = tolower($1); sub(/:$/, "", key)
                val = $0; sub(/^[^:]*:[ \t]*/, "", val)
                if (key == "types") types = val
                else if (key == "uris") uris = val
                else if (key == "suites") suites = val
                else if (key == "signed-by") signed = val
                else if (key == "enabled") enabled = tolower(val)
            }
            END {
                flush()
                if (main != "") print "main\t" main
                if (sec != "") print "security\t" sec
            }' "$f"
    done
    for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
        [[ -f $f ]] || continue
        awk '
            $1 != "deb" { next }
            {
                opts = ""; i = 2
                if ($2 ~ /^\[/) {
                    while (i <= NF) { opts = opts " " $i; if ($i ~ /\]$/) break; i++ }
                    i++
                }
                uri = $i; suite = $(i + 1); signed = ""
                if (match(opts, /signed-by=[^] ]+/)) signed = substr(opts, RSTART + 10, RLENGTH - 10)
                if (suite ~ /-security$/) print "security\t" uri "\t" signed
                else if (suite !~ /-/) print "main\t" uri "\t" signed
            }' "$f"
    done
}

archives="$(system_archives)"
main_uri="$(awk -F'\t' '$1 == "main" { print $2; exit }' <<<"$archives")"
main_keyring="$(awk -F'\t' '$1 == "main" { print $3; exit }' <<<"$archives")"
sec_uri="$(awk -F'\t' '$1 == "security" { print $2; exit }' <<<"$archives")"
sec_keyring="$(awk -F'\t' '$1 == "security" { print $3; exit }' <<<"$archives")"
[[ -n $main_uri ]] || die "found no Debian archive URI in the system's apt sources"
log "Debian archive: $main_uri${sec_uri:+ (security: $sec_uri)}"

# --- keyring that covers trixie --------------------------------------------------
# trixie's Release file is signed with the Debian 13 keys. bookworm's
# debian-archive-keyring gained them in a point release, so check, and upgrade
# the keyring package from bookworm if the installed one is older.
keyring_has_trixie() {
    local k="$1"
    [[ -f $k ]] || return 1
    if command -v gpg >/dev/null; then
        gpg --batch --no-default-keyring --show-keys --with-colons "$k" 2>/dev/null \
            | grep -q '^uid:.*(13/trixie)'
    else
        return 0  # no gpg to look inside; apt still verifies the signature
    fi
}
pick_keyring() {
    local k
    for k in "$@" /usr/share/keyrings/debian-archive-keyring.gpg; do
        [[ -n $k && $k == /* ]] || continue
        if keyring_has_trixie "$k"; then printf '%s\n' "$k"; return 0; fi
    done
    return 1
}
if ! keyring=$(pick_keyring "$main_keyring"); then
    log "the installed Debian archive keyring lacks the trixie keys; upgrading debian-archive-keyring"
    DEBIAN_FRONTEND=noninteractive apt-get "${apt_quiet[@]}" update >&2 || true
    DEBIAN_FRONTEND=noninteractive apt-get "${apt_quiet[@]}" install -y --only-upgrade debian-archive-keyring >&2
    keyring=$(pick_keyring "$main_keyring") \
        || die "no keyring with the Debian 13 (trixie) keys; refusing to fetch unverified sources"
fi
sec_keyring=$(pick_keyring "$sec_keyring") || sec_keyring="$keyring"
log "trixie signatures checked against $keyring"

# --- fetch the source package ----------------------------------------------------
list=/etc/apt/sources.list.d/quillet-trixie-src.sources
list_added=0
work=""
cleanup() {
    local rc=$?
    if [[ $list_added == 1 ]]; then
        rm -f "$list"
        list_added=0
        log "removed $list; refreshing apt lists"
        apt-get "${apt_quiet[@]}" update >&2 || log "warning: apt-get update after cleanup failed"
    fi
    [[ -n $work && -d $work ]] && rm -rf "$work"
    ((rc == 0)) || log "failed (exit $rc)"
    return $rc
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

work="$(mktemp -d "$cache/.work-fetch.XXXXXX")"

if [[ -e $list ]]; then
    # Only this script writes that file, so a leftover comes from a run that
    # was killed before its cleanup.
    log "removing leftover $list"
    rm -f "$list"
fi
list_added=1
{
    printf 'Types: deb-src\nURIs: %s\nSuites: trixie trixie-updates\nComponents: main\nSigned-By: %s\n' \
        "$main_uri" "$keyring"
    if [[ -n $sec_uri ]]; then
        printf '\nTypes: deb-src\nURIs: %s\nSuites: trixie-security\nComponents: main\nSigned-By: %s\n' \
            "$sec_uri" "$sec_keyring"
    fi
} >"$list"
log "added $list; updating apt lists"
# apt-get update exits non-zero when a Release signature does not verify.
apt-get "${apt_quiet[@]}" update >&2

# Download only (no dpkg-source unpacking: only the upstream tarball is used).
# It picks the highest version across trixie and its updates.
mkdir -p "$work/fetch"
(cd "$work/fetch" && apt-get "${apt_quiet[@]}" source --download-only python3.13 >&2)

rm -f "$list"
list_added=0
log "removed $list; refreshing apt lists"
apt-get "${apt_quiet[@]}" update >&2

shopt -s nullglob
found=("$work"/fetch/python3.13_*.orig.tar.{xz,gz,bz2})
shopt -u nullglob
((${#found[@]} == 1)) || die "expected one python3.13 .orig tarball, found: ${found[*]:-none}"
rm -f "$downloads"/python3.13_*.orig.tar.{xz,gz,bz2}
cp -f "${found[0]}" "$downloads/"
tarball="$downloads/$(basename "${found[0]}")"
log "source: $(basename "$tarball")"
printf '%s\n' "$tarball" >&3
