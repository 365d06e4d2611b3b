#!/bin/sh
# The include graph of Assistant/ by layer, and a check of each layer's rules. The folder tells a
# file's layer:
#   base/ platform/                     below everything: include no other layer of the project
#   common/ http/ bridge/ update/       the core: no OS or UI header, no OS call; nothing of app/
#                                       or shell/
#   app/                                the core composed into the assistant: the core's rules;
#                                       nothing of shell/
#   companion/                          the companion service program: the core's rules; nothing
#                                       of app/ or shell/
#   shell/qt/ shell/win32/              a shell: anything below it, never the other shell
# Exit status 1 when a rule is broken.
#   scripts/core-includes.sh           summary (layer -> layer it includes, count) and check
#   scripts/core-includes.sh --graph   also every "file -> header" edge
#   KX_SOURCE_ROOT=DIR ...              checks DIR instead of Assistant/ (the script's own test)
set -eu
cd "${KX_SOURCE_ROOT:-$(dirname "$0")/../Assistant}"

core="common http bridge update"
portable="$core app companion"
layer_of() { # the layer of a path below Assistant/ (a file or an included header)
    case "$1" in
        base/*) echo base ;;
        platform/*) echo platform ;;
        common/*|http/*|bridge/*|update/*) echo core ;;
        app/*) echo app ;;
        companion/*) echo companion ;;
        shell/qt/*) echo shell/qt ;;
        shell/win32/*) echo shell/win32 ;;
        *) echo other ;;
    esac
}

edges=$(grep -rHoE --exclude-dir=.git '^#include *[<"][^>"]+[>"]' base platform $portable shell | sed -E 's/:#include */ -> /' | sort)

if [ "${1:-}" = "--graph" ]; then
    echo "$edges"
    echo
fi

echo "== project headers each layer includes (layer -> layer: count)"
echo "$edges" | sed -n 's/^\([^ ]*\) -> "\(.*\)"$/\1 \2/p' | while read -r file header; do
    echo "$(layer_of "$file") -> $(layer_of "$header")"
done | sort | uniq -c | awk '{printf "  %-26s %s\n", $2 " " $3 " " $4, $1}'
echo "== other headers the core and app/ include"
for f in $portable; do echo "$edges" | grep "^$f/" || true; done | sed -n 's/.* -> <\(.*\)>/\1/p' | sort | uniq -c |
    awk '{printf "%s(%s) ", $2, $1} END {print ""}'

status=0
broken() { echo "!! $1:"; echo "$2"; status=1; }

# Qt, POSIX, Linux, Windows and compiler-runtime headers. <emmintrin.h> (SSE2 intrinsics, behind
# the compiler's own __SSE2__ with a portable fallback) is allowed.
os_headers='-> <(Q[A-Za-z]*|Qt[A-Za-z]*/.*|unistd\.h|sys/.*|dlfcn\.h|link\.h|pthread\.h|signal\.h|fcntl\.h|dirent\.h|pwd\.h|grp\.h|iconv\.h|cxxabi\.h|execinfo\.h|spawn\.h|poll\.h|netinet/.*|arpa/.*|linux/.*|windows\.h|winsock2\.h|ws2tcpip\.h|io\.h|direct\.h|process\.h|malloc\.h|shellapi\.h|commctrl\.h|winspool\.h)>'
for f in $portable; do
    bad=$(echo "$edges" | grep "^$f/" | grep -E -- "$os_headers" || true)
    [ -z "$bad" ] || broken "OS or UI headers in $f/" "$bad"
done
calls=$(grep -rnE '\b(getpid|getenv|localtime_r|gmtime_r|strerror_r|dlopen|dlsym|fork|execv|_wfopen|__cxa_demangle)\s*\(|__attribute__|__declspec|\b_WIN32\b|__linux__' $portable || true)
[ -z "$calls" ] || broken "OS calls, OS tests or compiler extensions in the core or app/" "$calls"
paths=$(grep -rnE '\.(u8)?string\(\)' $portable || true)
[ -z "$paths" ] || broken "paths turned into text without utf8FromPath" "$paths"

# Each layer includes only project headers of the layers it stands on.
up=$(echo "$edges" | sed -n 's/^\([^ ]*\) -> "\(.*\)"$/\1 \2/p' | while read -r file header; do
    from=$(layer_of "$file"); to=$(layer_of "$header")
    case "$from:$to" in
        base:base|platform:base|platform:platform) ;;
        core:base|core:platform|core:core) ;;
        app:base|app:platform|app:core|app:app) ;;
        companion:base|companion:platform|companion:core|companion:companion) ;;
        shell/qt:shell/win32|shell/win32:shell/qt) echo "$file -> $header (the other shell)" ;;
        shell/*:other) ;; # generated forms (ui_*.h) and a shell's own resources
        shell/*:*) ;;
        *) echo "$file -> $header ($from may not include $to)" ;;
    esac
done)
[ -z "$up" ] || broken "includes across the layers' rules" "$up"
# Only the Qt shell knows Qt, only the Windows shell and platform/win32 know Windows.
qt=$(echo "$edges" | grep -vE '^shell/qt/' | grep -E -- '-> <(Q[A-Za-z]*|Qt[A-Za-z]*/.*)>' || true)
[ -z "$qt" ] || broken "Qt outside shell/qt/" "$qt"
win=$(echo "$edges" | grep -vE '^(shell/win32|platform/win32)/' | grep -iE -- '-> <(windows|winsock2|ws2tcpip|shellapi|commctrl|winspool)\.h>' || true)
[ -z "$win" ] || broken "Windows headers outside shell/win32/ and platform/win32/" "$win"

[ $status -eq 0 ] && echo "layers: base and platform include nothing above them; core, app and companion no OS or UI header, no OS call; no shell includes the other"
exit $status
