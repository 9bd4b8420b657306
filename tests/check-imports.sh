#!/usr/bin/env bash
# Fails when a Windows executable imports a DLL other than Windows' own, so
# that the program stays one file that runs without any runtime beside it.
# usage: check-imports.sh OBJDUMP EXE...
set -u
objdump=$1
shift
allowed="kernel32.dll user32.dll gdi32.dll shell32.dll comctl32.dll advapi32.dll msvcrt.dll"
status=0
for exe in "$@"; do
  dlls=$("$objdump" -p "$exe" | awk '/DLL Name:/ {print tolower($3)}')
  [ -n "$dlls" ] || { echo "$exe: no import table found"; status=1; continue; }
  for dll in $dlls; do
    case " $allowed " in
      *" $dll "*) ;;
      *) echo "$exe imports $dll, which is not a Windows system DLL"; status=1 ;;
    esac
  done
  echo "$exe: $(echo $dlls)"
done
exit $status
