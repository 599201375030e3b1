#!/usr/bin/env bash
# Runs a command against a private Secret Service: a D-Bus session bus of its
# own and a gnome-keyring whose default "login" collection is created and
# unlocked before the command starts. Nothing can then wait on a password
# prompt, and the user's own keyring is never touched.
#
#   with-keyring.sh <command> [args...]
#
# Exits with the command's status, or 1 with the reason when the service
# cannot be started. Every step has a time limit. A prompt the keyring would
# show fails at once instead, and is noted in $HALVORAN_TEST_PROMPT_LOG.
set -euo pipefail

# The throw-away login collection's password. The tests see it exported and
# so know they run against this private keyring, never the user's own.
password=halvoran-test-keyring
# Seconds for everything, within the CTest time limit.
limit=${WITH_KEYRING_TIMEOUT:-90}

fail() {
  echo "with-keyring: $*" >&2
  exit 1
}

if [ "${1-}" = --inside-session ]; then
  shift
  log=$XDG_RUNTIME_DIR/gnome-keyring.log
  # --unlock reads the login password from stdin and creates the login
  # collection with it when there is none. In the foreground, so that the pid
  # is the daemon's own and ours to stop.
  printf '%s' "$password" |
    gnome-keyring-daemon --foreground --unlock --components=secrets >"$log" 2>&1 &
  keyring=$!
  trap 'kill "$keyring" 2>/dev/null || true; wait "$keyring" 2>/dev/null || true' EXIT

  call() { timeout 5 dbus-send --session --print-reply=literal "$@" 2>/dev/null; }
  ready=
  for _ in $(seq 100); do
    kill -0 "$keyring" 2>/dev/null ||
      fail "gnome-keyring-daemon exited before it was ready: $(cat "$log")"
    # Asked of the bus, which never starts a service: a call to the name while
    # nobody owns it would have D-Bus start a second, prompting keyring.
    owner=$(call --dest=org.freedesktop.DBus /org/freedesktop/DBus \
      org.freedesktop.DBus.GetConnectionUnixProcessID string:org.freedesktop.secrets) || owner=
    owner=${owner##* }
    if [ -n "$owner" ]; then
      [ "$owner" = "$keyring" ] || fail "org.freedesktop.secrets is owned by pid $owner, not ours"
      collection=$(call --dest=org.freedesktop.secrets /org/freedesktop/secrets \
        org.freedesktop.Secret.Service.ReadAlias string:default) || collection=
      collection=${collection//[[:space:]]/}
      if [ "$collection" = /org/freedesktop/secrets/collection/login ]; then
        locked=$(call --dest=org.freedesktop.secrets "$collection" \
          org.freedesktop.DBus.Properties.Get \
          string:org.freedesktop.Secret.Collection string:Locked) || locked=
        if [[ $locked == *"boolean false"* ]]; then
          ready=1
          break
        fi
      fi
    fi
    sleep 0.1
  done
  [ -n "$ready" ] ||
    fail "no unlocked default collection after 10 s (owner: ${owner:-none}," \
      "default: ${collection:-none}): $(cat "$log")"

  status=0
  "$@" </dev/null || status=$?
  exit "$status"
fi

[ $# -ge 1 ] || {
  echo "usage: $0 <command> [args...]" >&2
  exit 2
}
for tool in dbus-run-session dbus-send gnome-keyring-daemon timeout; do
  command -v "$tool" >/dev/null || fail "$tool not found; scripts/install-deps installs it"
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/halvoran-keyring.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
mkdir -m 700 "$scratch/home" "$scratch/runtime"
# gnome-keyring keeps its keyrings under XDG_DATA_HOME and its control socket
# under XDG_RUNTIME_DIR; both private, decided here before the daemon starts.
export HOME=$scratch/home
export XDG_DATA_HOME=$HOME/.local/share
export XDG_CONFIG_HOME=$HOME/.config
export XDG_CACHE_HOME=$HOME/.cache
export XDG_RUNTIME_DIR=$scratch/runtime
export HALVORAN_TEST_KEYRING_PASSWORD=$password
export HALVORAN_TEST_PROMPT_LOG=$scratch/prompts

# Stand-ins for gnome-keyring's prompters, which the session bus finds before
# the real ones: they note the request and fail it.
services=$XDG_DATA_HOME/dbus-1/services
mkdir -p "$services"
printf '#!/bin/sh\necho "prompter started" >>"%s"\nexit 1\n' "$HALVORAN_TEST_PROMPT_LOG" \
  >"$scratch/prompter"
chmod +x "$scratch/prompter"
for name in org.gnome.keyring.SystemPrompter org.gnome.keyring.PrivatePrompter; do
  printf '[D-BUS Service]\nName=%s\nExec=%s\n' "$name" "$scratch/prompter" \
    >"$services/$name.service"
done
# No display, so nothing even tries to show a prompt; no inherited bus or
# keyring, so nothing reaches the user's own.
unset DISPLAY WAYLAND_DISPLAY DBUS_SESSION_BUS_ADDRESS GNOME_KEYRING_CONTROL SSH_AUTH_SOCK

status=0
timeout --kill-after=5 "$limit" \
  dbus-run-session -- "$(readlink -f "$0")" --inside-session "$@" </dev/null || status=$?
[ "$status" -ne 124 ] || echo "with-keyring: gave up after $limit s" >&2
exit "$status"
