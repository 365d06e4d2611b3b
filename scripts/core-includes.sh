#!/bin/sh
# The include graph of the core: every header the core folders include, by kind, and a check that
# none of them is an operating-system or Qt header, that paths become text only through the UTF-8
# helper, and that the platform seam and base/ include nothing of the core above them. Exit status 1 when a rule is broken.
#   scripts/core-includes.sh           summary and check
#   scripts/core-includes.sh --graph   also every "file -> header" edge
set -eu
cd "$(dirname "$0")/../Assistant"

core="common http bridge update Heart.cpp Heart.h Appctrl.cpp Appctrl.h EndpointTable.cpp EndpointTable.h AppLifecycle.cpp AppLifecycle.h UpdateHandOver.cpp UpdateHandOver.h"
edges=$(grep -rHoE '^#include *[<"][^>"]+[>"]' $core | sed -E 's/:#include */ -> /' | sort)

if [ "${1:-}" = "--graph" ]; then
    echo "$edges"
    echo
fi

echo "== headers of the project the core includes"
echo "$edges" | sed -n 's/.* -> "\(.*\)"/\1/p' | sed 's,/.*,/,' | sort | uniq -c
echo "== other headers the core includes"
echo "$edges" | sed -n 's/.* -> <\(.*\)>/\1/p' | sort | uniq -c | awk '{printf "%s(%s) ", $2, $1} END {print ""}'

status=0
# Qt, POSIX, Linux, Windows and compiler-runtime headers. <emmintrin.h> (SSE2 intrinsics, behind
# the compiler's own __SSE2__ with a portable fallback) is allowed.
bad=$(echo "$edges" | grep -E -- '-> <(Q[A-Za-z]*|Qt[A-Za-z]*/.*|unistd\.h|sys/.*|dlfcn\.h|link\.h|pthread\.h|signal\.h|fcntl\.h|dirent\.h|pwd\.h|grp\.h|iconv\.h|cxxabi\.h|execinfo\.h|spawn\.h|poll\.h|netinet/.*|arpa/.*|linux/.*|windows\.h|winsock2\.h|ws2tcpip\.h|io\.h|direct\.h|process\.h|malloc\.h)>' || true)
if [ -n "$bad" ]; then
    echo "!! OS or Qt headers in the core:"; echo "$bad"; status=1
fi
calls=$(grep -rnE '\b(getpid|getenv|localtime_r|gmtime_r|strerror_r|dlopen|dlsym|fork|execv|_wfopen|__cxa_demangle)\s*\(|__attribute__|__declspec' $core || true)
if [ -n "$calls" ]; then
    echo "!! OS calls or compiler extensions in the core:"; echo "$calls"; status=1
fi
paths=$(grep -rnE '\.(u8)?string\(\)' $core || true)
if [ -n "$paths" ]; then
    echo "!! paths turned into text without utf8FromPath:"; echo "$paths"; status=1
fi
# The Windows program's shell (platform/win32/shell/) sits on top of the core, as the Qt shell does.
up=$(grep -rnE --exclude-dir=shell '^#include *"(common|http|bridge|update|settings)/|^#include *"(Heart|Appctrl|EndpointTable|AppLifecycle|UpdateHandOver|Main)' platform base || true)
if [ -n "$up" ]; then
    echo "!! the platform seam (or base/) includes the core:"; echo "$up"; status=1
fi
[ $status -eq 0 ] && echo "core: no OS or Qt header, no OS call; platform: nothing from the core"
exit $status
