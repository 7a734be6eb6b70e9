#!/usr/bin/env bash
# Checks that a built plug-in module exports exactly VSTPluginMain and main
# (one function under two names), and that a Windows module imports nothing
# but system DLLs (its C and C++ runtimes are linked in).
# Usage: tools/check-module-exports.sh path/to/qb32.so|qb32.dll
set -euo pipefail
module=$1
case "$module" in
  *.dll)
    objdump=x86_64-w64-mingw32-objdump
    dump=$("$objdump" -p "$module")
    names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/\[/ && !/Table/ {print $NF}' | sort | tr '\n' ' ')
    rvas=$(sed -n '/Export Address Table -- Ordinal Base/,/^$/p' <<<"$dump" | awk '/Export RVA/ {print $(NF-2)}' | sort -u | wc -l)
    imports=$(awk '/DLL Name:/ {print tolower($3)}' <<<"$dump" | sort | tr '\n' ' ')
    for dll in $imports; do
      case "$dll" in
        kernel32.dll|msvcrt.dll|user32.dll|gdi32.dll|advapi32.dll|ntdll.dll) ;;
        *) echo "check-module-exports: $module imports $dll" >&2; exit 1 ;;
      esac
    done
    ;;
  *)
    names=$(nm -D --defined-only "$module" | awk '{print $3}' | sort | tr '\n' ' ')
    rvas=$(nm -D --defined-only "$module" | awk '{print $1}' | sort -u | wc -l)
    ;;
esac
if [ "$names" != "VSTPluginMain main " ] || [ "$rvas" -ne 1 ]; then
  echo "check-module-exports: $module exports [$names] at $rvas address(es)" >&2
  exit 1
fi
echo "check-module-exports: $module exports VSTPluginMain and main at one address"
