#!/usr/bin/env bash
# Builds and installs vqmixer into .venv, then runs the whole test suite.
source "$(dirname "$0")/env.sh"
install_package test
cd "$ROOT"
exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$@"
