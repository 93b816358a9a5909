#!/bin/sh
# at-dpi.sh DPI RUNNER PREFIX ARTIFACTS PROGRAM [ARGS...]
# Runs a Windows test program through RUNNER (cmake/wine-run.sh) in PREFIX
# with the display's scale set to DPI ("-": as the prefix has it), the
# folder ARTIFACTS given to it for its pictures, which are turned from
# bitmaps into PNG files there afterwards.
set -eu
dpi=$1 runner=$2 prefix=$3 artifacts=$4
shift 4
mkdir -p "$artifacts"
if [ "$dpi" != - ]; then
  [ -f "$prefix/.lumbra-ready" ] || "$runner" "$prefix" cmd /c exit >/dev/null 2>&1
  # Wine takes the scale from the user's desktop settings, older versions from
  # the configuration's fonts; each program reads it as it starts.
  "$runner" "$prefix" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f \
    >/dev/null 2>&1
  "$runner" "$prefix" reg add 'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$dpi" /f \
    >/dev/null 2>&1
  export LUMBRA_EXPECT_DPI="$dpi"
fi
rc=0
LUMBRA_WIN_SCREENSHOTS="Z:$(echo "$artifacts" | tr / '\\')" "$runner" "$prefix" "$@" || rc=$?
for bmp in "$artifacts"/win-*dpi.bmp; do
  [ -f "$bmp" ] || continue
  convert "$bmp" "${bmp%.bmp}.png" && rm -f "$bmp"
done
exit $rc
