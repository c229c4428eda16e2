#!/usr/bin/env bash
# Builds and installs vqmixer (with the plotting extra) into .venv, then runs the
# main example; arguments go to examples/main.py (try --help). Paths given to it
# are taken relative to the directory this is run from.
source "$(dirname "$0")/env.sh"
install_package plot
exec "$VENV/bin/python" "$ROOT/examples/main.py" "$@"
