#!/bin/sh
# Installs the real proxy clients and servers that the end-to-end tests drive
# (the e2e driver's hint names this script).
exec "$(dirname "$0")/../install-deps.sh" e2e
