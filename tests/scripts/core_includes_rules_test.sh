#!/bin/sh
# The layer check against small source trees: a clean tree passes, and each broken rule alone
# fails the check and names the offending file.
set -u
check=$(cd "$(dirname "$0")/../../scripts" && pwd)/core-includes.sh
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
failures=0

tree() { # a clean tree with one file per layer
    rm -rf "$root/src"; mkdir -p "$root/src"
    cd "$root/src" && mkdir -p base platform/posix common http bridge update app shell/qt shell/win32
    echo '#include <string>' > base/Text.h
    printf '#include "base/Text.h"\n#include <unistd.h>\n' > platform/posix/Files.cpp
    printf '#include "platform/Files.h"\n#include "base/Text.h"\n' > common/Paths.cpp
    printf '#include "common/Paths.h"\n' > http/Service.cpp
    printf '#include "http/Service.h"\n#include "platform/Files.h"\n' > app/Heart.cpp
    printf '#include "app/Heart.h"\n#include <QWidget>\n#include "ui_About.h"\n' > shell/qt/Main.cpp
    printf '#include "app/Heart.h"\n#include <windows.h>\n' > shell/win32/Entry.cpp
}

expect() { # expect <status> <text the output must hold> <case>
    out=$(KX_SOURCE_ROOT="$root/src" sh "$check" 2>&1); status=$?
    if [ "$status" -ne "$1" ] || ! printf '%s' "$out" | grep -qF -- "$2"; then
        echo "FAIL $3: status $status, wanted $1 and \"$2\""; echo "$out"; failures=$((failures + 1))
    fi
}

tree; expect 0 "layers: base and platform include nothing above them" "clean tree"
tree; echo '#include "common/Paths.h"' >> platform/posix/Files.cpp
expect 1 "platform/posix/Files.cpp -> common/Paths.h (platform may not include core)" "platform reaching the core"
tree; echo '#include "platform/Files.h"' >> base/Text.h
expect 1 "base/Text.h -> platform/Files.h (base may not include platform)" "base reaching the platform"
tree; echo '#include "app/Heart.h"' >> http/Service.cpp
expect 1 "http/Service.cpp -> app/Heart.h (core may not include app)" "core reaching app"
tree; echo '#include "shell/qt/Main.h"' >> app/Heart.cpp
expect 1 "app/Heart.cpp -> shell/qt/Main.h (app may not include shell/qt)" "app reaching a shell"
tree; echo '#include "shell/qt/Main.h"' >> shell/win32/Entry.cpp
expect 1 "shell/win32/Entry.cpp -> shell/qt/Main.h (the other shell)" "one shell including the other"
tree; echo '#include <windows.h>' >> update/Steps.cpp
expect 1 "OS or UI headers in update/" "Windows header in the core"
tree; echo '#include <QString>' >> app/Heart.cpp
expect 1 "OS or UI headers in app/" "Qt header in app"
tree; printf '#if defined(_WIN32)\n#endif\n' >> bridge/Call.cpp
expect 1 "bridge/Call.cpp:1:#if defined(_WIN32)" "an OS test in the core"
tree; echo '#include <QString>' >> shell/win32/Entry.cpp
expect 1 "Qt outside shell/qt/" "Qt in the Windows shell"
tree; echo '#include <windows.h>' >> shell/qt/Main.cpp
expect 1 "Windows headers outside shell/win32/ and platform/win32/" "Windows in the Qt shell"

[ "$failures" -eq 0 ] && echo "all cases hold"
exit "$failures"
