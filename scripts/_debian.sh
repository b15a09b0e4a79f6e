# shellcheck shell=bash
# Installing Debian packages that a script needs, the one way every script does it. Sourced:
#
#   . scripts/_debian.sh
#   debian_install NAME PACKAGE...   # NAME says who asks, in messages
#
# Only the packages not installed yet are asked for. Installing needs root; without it the
# function names the missing packages and fails. Another apt run, such as CI's background build
# of the free-threaded interpreter, is waited for rather than failed on. apt's output goes to
# standard error only when it fails.

debian_install() {
  local who=$1 p log
  shift
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [ "$(id -u)" != 0 ]; then
    echo "$who: missing ${missing[*]}; as root: apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "$who: installing ${missing[*]} from Debian" >&2
  local apt=(-q -o DPkg::Lock::Timeout=600 -o Acquire::Retries=3)
  log=$(mktemp)
  export DEBIAN_FRONTEND=noninteractive
  apt-get "${apt[@]}" update >"$log" 2>&1 || true
  if ! apt-get "${apt[@]}" install -y --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
    tail -n 30 "$log" >&2
    rm -f "$log"
    echo "$who: apt-get install ${missing[*]} failed" >&2
    return 1
  fi
  rm -f "$log"
}
