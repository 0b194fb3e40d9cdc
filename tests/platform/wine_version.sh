#!/bin/sh
# wine_version.sh VERSION PROGRAM [ARGS...]
# Tells Wine to report Windows VERSION (win2k, winxp, win7, win10) in the prefix
# WINEPREFIX names, then runs PROGRAM there under Wine.
set -eu
version=$1
shift
wine reg add 'HKCU\Software\Wine' /v Version /d "$version" /f >/dev/null
exec wine "$@"
