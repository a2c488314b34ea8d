#!/bin/sh
# Checks a Windows plug-in DLL as a host's loader sees it: the module name, exactly the exports
# main and VSTPluginMain, and imports from system DLLs only (the runtime is linked statically).
# usage: check-dll.sh OBJDUMP FILE [FILE...]   (the first FILE is the plug-in DLL)
set -eu
objdump=$1
shift
allowed='^(kernel32|user32|gdi32|advapi32|msvcrt|winmm|comctl32|comdlg32|shell32|ole32|oleaut32|uuid|ws2_32|ntdll|shlwapi|version|imm32|uxtheme|msimg32)\.dll$'
status=0
plugin=$1
for f in "$@"; do
    dump=$("$objdump" -p "$f")
    for dll in $(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p'); do
        lower=$(printf '%s' "$dll" | tr 'A-Z' 'a-z')
        if ! printf '%s\n' "$lower" | grep -Eq "$allowed"; then
            echo "FAIL: $f imports $dll, which is not a system DLL"
            status=1
        fi
    done
    if [ "$f" = "$plugin" ]; then
        name=$(printf '%s\n' "$dump" | sed -n 's/^Name[[:space:]]\{1,\}[0-9a-fA-F]\{1,\} //p' | head -n 1)
        if [ "$name" != "corvella.dll" ]; then
            echo "FAIL: export directory names the module '$name', not corvella.dll"
            status=1
        fi
        exports=$(printf '%s\n' "$dump" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' |
                  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\][[:space:]]*//p' | sort | tr '\n' ' ')
        if [ "$exports" != "VSTPluginMain main " ]; then
            echo "FAIL: exports are '$exports', expected exactly main and VSTPluginMain"
            status=1
        fi
    fi
done
[ "$status" -eq 0 ] && echo "ok: $*"
exit "$status"
