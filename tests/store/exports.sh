#!/bin/sh
# Checks a built libxml.so: only the four operations are exported, and a
# self-contained one needs nothing but the C library, libm and the loader.
# Usage: exports.sh NM READELF LIBRARY SELF_CONTAINED
set -eu
nm=$1 readelf=$2 library=$3 self_contained=$4

exported=$("$nm" -D --defined-only "$library" | awk '{print $3}' | sort | tr '\n' ' ')
if [ "$exported" != "xml_file_close xml_file_open xml_file_save xml_file_write " ]; then
    echo "exported: $exported"
    exit 1
fi
if [ "$self_contained" = ON ]; then
    needed=$("$readelf" -d "$library" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | tr '\n' ' ')
    for library_needed in $needed; do
        case $library_needed in
            libc.so.* | libm.so.* | ld-linux*) ;;
            *) echo "needs $library_needed"; exit 1 ;;
        esac
    done
fi
