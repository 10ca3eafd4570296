# Package installs for the set-up scripts (sourced by install-deps.sh and enable-x86-wine.sh)
# that survive a package registry caught between two states: while a mirror syncs, one index
# of a suite can be out of step with its release file for a while, and `apt-get update` then
# fails ("File has unexpected size ... Mirror sync in progress?") although every other index
# was fetched. Updates are tried again with a growing pause and, when they keep failing, the
# set-up goes on with what was fetched. With the security suite's i386 index missing,
# libraries that must have one version on both architectures find no common candidate, so an
# install that fails after a failed update is tried once more pinned to the release's own
# suite (`apt-get install -t <codename>`), which may bring such a library to that suite's
# version on both. Every apt-get call has a time limit.
#
# The caller sets `apt_name` (the start of every line said) and may set `apt_as` (a command
# that runs apt-get as root, e.g. (sudo)).
#
# Seams for the set-up's tests:
#   PRISMLUX_SETUP_ROOT           the folder taken as / for what is installed and for system
#                                 files (os-release, apt sources, binfmt_misc); empty: /
#   PRISMLUX_APT_PAUSE            seconds before the second update try (doubled after; 5)
#   PRISMLUX_APT_UPDATE_TIMEOUT   seconds one apt-get update may take (300)
#   PRISMLUX_APT_INSTALL_TIMEOUT  seconds one apt-get install may take (1800)

setup_root=${PRISMLUX_SETUP_ROOT:-}
apt_tries=3
apt_update_failed=0
apt_update_error=
apt_output=
if [ -z "${apt_as+set}" ]; then apt_as=(); fi

apt_say() { echo "$apt_name: $*"; }

# The registry's own error lines ("E: ...") in apt-get's output, else its last line.
apt_errors() {
  local errors
  errors=$(printf '%s\n' "$1" | grep '^E: ' || true)
  [ -n "$errors" ] || errors=$(printf '%s\n' "$1" | sed '/^$/d' | tail -n 1)
  printf '%s' "$errors"
}

# apt_run SECONDS ARGUMENTS...: apt-get, given SECONDS to finish (it waits up to two minutes
# for another package manager's lock within them); its output goes to apt_output. The output
# goes through a file: a pipe would wait for helpers that outlive a killed apt-get.
apt_run() {
  local limit=$1 rc=0 log
  shift
  log=$(mktemp)
  timeout -k 10 "$limit" "${apt_as[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=120 "$@" >"$log" 2>&1 </dev/null || rc=$?
  apt_output=$(cat "$log")
  rm -f "$log"
  if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
    apt_output="$apt_output"$'\n'"E: apt-get $1 did not finish within $limit s"
  fi
  return "$rc"
}

# The release's codename (bookworm), "" when the system does not say.
apt_release_codename() {
  ( . "$setup_root/etc/os-release" 2>/dev/null && printf '%s' "${VERSION_CODENAME:-}" ) || true
}

# Fetches the package lists; when the update keeps failing, goes on with what it fetched and
# remembers that it failed (apt_update_failed, apt_update_error).
apt_update() {
  local try=1 pause=${PRISMLUX_APT_PAUSE:-5}
  until apt_run "${PRISMLUX_APT_UPDATE_TIMEOUT:-300}" update -qq; do
    apt_update_error=$(apt_errors "$apt_output")
    if [ "$try" -ge "$apt_tries" ]; then
      apt_update_failed=1
      apt_say "apt-get update failed $apt_tries times (${apt_update_error%%$'\n'*}); going on with the package lists it fetched"
      return 0
    fi
    apt_say "apt-get update failed (${apt_update_error%%$'\n'*}); trying again in $pause s"
    sleep "$pause"
    try=$((try + 1))
    pause=$((pause * 2))
  done
  apt_update_failed=0
  apt_update_error=
}

# apt_install [-t SUITE] PACKAGE...: installs the packages, from SUITE when given. Exits with
# a message naming the packages and the registry's error when they cannot be installed.
apt_install() {
  local packages=("$@")
  [ "${1:-}" != -t ] || packages=("${@:3}")
  apt_run "${PRISMLUX_APT_INSTALL_TIMEOUT:-1800}" install -y -qq "$@" && return 0
  local error codename
  error=$(apt_errors "$apt_output")
  codename=$(apt_release_codename)
  if [ "$apt_update_failed" = 1 ] && [ "${1:-}" != -t ] && [ -n "$codename" ]; then
    if apt_run "${PRISMLUX_APT_INSTALL_TIMEOUT:-1800}" install -y -qq -t "$codename" "$@"; then
      apt_say "the package registry was out of step (apt-get update failed), so ${packages[*]} came pinned to $codename's own suite (apt-get install -t $codename)"
      return 0
    fi
    error="$error"$'\n'"pinned to $codename: $(apt_errors "$apt_output")"
  fi
  {
    echo "$apt_name: ERROR: could not install ${packages[*]}"
    printf '%s\n' "$error" | sed 's/^/  /'
    [ "$apt_update_failed" = 0 ] || printf '%s\n' "after a failed apt-get update:" "$apt_update_error" | sed 's/^/  /'
  } >&2
  exit 1
}
