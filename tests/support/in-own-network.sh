#!/bin/sh
# Runs a command in a network namespace of its own, with nothing in it but
# loopback, brought up. What the command listens on (the fixed service port
# the test builds talk to, an X server's abstract socket) is then its own:
# test programs run side by side, and beside a demo service on this machine.
#
#   in-own-network.sh <command> [args...]
#
# Exports HALVORAN_TEST_NETNS=1 to the command. Fails, and never runs the
# command in the shared namespace, when no namespace can be made: whether the
# tests run this way is decided when the build is configured
# (tests/CMakeLists.txt), and there the tests that share a port are
# serialised instead.
set -eu

if [ "${1-}" = --inside ]; then
  shift
  ip link set lo up || {
    echo "in-own-network: cannot bring up loopback in the new namespace" >&2
    exit 1
  }
  HALVORAN_TEST_NETNS=1 exec "$@"
fi

[ $# -ge 1 ] || {
  echo "usage: $0 <command> [args...]" >&2
  exit 2
}
exec unshare --net -- "$0" --inside "$@"
