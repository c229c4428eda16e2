#!/usr/bin/env bash
# Builds and installs vqmixer into .venv, then runs the main example.
source "$(dirname "$0")/env.sh"
install_package plot
cd "$ROOT"
exec "$VENV/bin/python" examples/main.py "$@"
