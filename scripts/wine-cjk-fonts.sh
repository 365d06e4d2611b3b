#!/usr/bin/env bash
# Makes Chinese readable in a Wine prefix's dialogs, menus and balloons. Windows links the system's
# Latin user-interface fonts (Tahoma, MS Shell Dlg, Microsoft Sans Serif, Segoe UI) to a Chinese
# font for the characters they lack; a fresh Wine prefix on Debian has no such link and draws
# boxes. This links them to the font that scripts/setup-debian.sh installs (WenQuanYi Micro Hei,
# found by Wine through fontconfig). Latin text keeps its own font.
#
#   WINEPREFIX=... bash scripts/wine-cjk-fonts.sh
#
# Needs wine on PATH (and WINELOADER for a 64-bit prefix, as scripts/run-windows-tests.sh sets).
set -euo pipefail
: "${WINEPREFIX:?WINEPREFIX must name the prefix}"
font_file=$(fc-match -f '%{file}' 'WenQuanYi Micro Hei' 2>/dev/null || true)
case "$font_file" in
  *wqy-microhei*) ;;
  *) echo "wine-cjk-fonts: the font WenQuanYi Micro Hei is not installed (fonts-wqy-microhei)" >&2; exit 1 ;;
esac
link="$(basename "$font_file"),WenQuanYi Micro Hei"
key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink'
for face in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif" "Segoe UI"; do
  wine reg add "$key" /v "$face" /t REG_MULTI_SZ /d "$link" /f >/dev/null
done
wineserver -w
