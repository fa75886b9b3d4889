#!/usr/bin/env bash
# Static checks: formatting, clang-tidy (.clang-tidy) and cppcheck.
set -euo pipefail
cd "$(dirname "$0")/.."

sources=$(git ls-files '*.cpp' '*.h')
product=$(git ls-files 'store/*.cpp' 'update_cfg/*.cpp')

echo "-- clang-format"
clang-format --dry-run --Werror $sources

echo "-- clang-tidy"
cmake -S . -B build-lint -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
clang-tidy -p build-lint --quiet $product 2>/dev/null

echo "-- cppcheck"
cppcheck --quiet --enable=warning,style,performance,portability --std=c++17 --error-exitcode=1 \
  --inline-suppr --suppress=missingIncludeSystem -I store -I update_cfg store update_cfg
echo "static checks clean"
