#!/bin/sh
# Runs a program on a virtual X display of its own; skips (77) where Xvfb is absent.
# usage: x11_gui_test.sh PROGRAM [ARGS...]
if ! command -v xvfb-run >/dev/null 2>&1 || ! command -v Xvfb >/dev/null 2>&1; then
    echo "SKIP: Xvfb is not installed (scripts/setup.sh installs it)"
    exit 77
fi
exec xvfb-run -a -s "-screen 0 1024x768x24 -nolisten tcp" "$@"
