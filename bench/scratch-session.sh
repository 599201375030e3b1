# Sourced by the bench scripts that start the program and its services: a
# scratch folder for the user's settings, data, state and runtime files, and
# the processes started (their pids appended to `pids`), all gone on exit.
scratch=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
export XDG_CONFIG_HOME=$scratch/config XDG_DATA_HOME=$scratch/data XDG_STATE_HOME=$scratch/state
export XDG_RUNTIME_DIR=$scratch/run HALVORAN_TUNNEL_BUS=session
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
