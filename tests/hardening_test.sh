#!/usr/bin/env bash
# Reads a built binary with readelf and fails unless it is hardened as Debian builds a root
# tool: PIE, full RELRO with immediate binding, stack protector, _FORTIFY_SOURCE.
set -euo pipefail
binary=$1
command -v readelf >/dev/null || { echo "SKIP: readelf is not installed"; exit 77; }
failed=0
expect() { # what, then the text readelf printed, then an extended regular expression
    if grep -Eq -- "$3" <<<"$2"; then echo "ok: $1"; else echo "MISSING: $1"; failed=1; fi
}
dynamic=$(readelf -dW "$binary")
symbols=$(readelf --dyn-syms -W "$binary")
expect "position-independent executable" "$(readelf -hW "$binary")" 'Type: +DYN'
expect "PIE flag" "$dynamic" 'FLAGS_1.*\bPIE\b'
expect "RELRO segment" "$(readelf -lW "$binary")" '\bGNU_RELRO\b'
expect "immediate binding (full RELRO)" "$dynamic" '\(FLAGS\).*\bBIND_NOW\b|FLAGS_1.*\bNOW\b'
expect "stack protector" "$symbols" ' __stack_chk_fail\b'
# The tool's printf becomes __printf_chk only under _FORTIFY_SOURCE at an optimising level.
expect "_FORTIFY_SOURCE" "$symbols" ' __[a-z_]+_chk@'
exit "$failed"
