#!/usr/bin/env bash
# Clang's thread-safety analysis over every source that says who owns what
# across threads (GUARDED_BY, REQUIRES), as errors. The Windows sources are
# checked for syntax only against Debian's MinGW-w64 headers: nothing is
# built, and nothing here needs Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
checks=(-std=c++20 -fsyntax-only -Wthread-safety -Werror=thread-safety -Werror=thread-safety-attributes -I.)
gcc_include=$(ls -d /usr/lib/gcc/i686-w64-mingw32/*-posix/include/c++ | head -n 1)
windows=(--target=i686-w64-mingw32 -nostdinc++ -isystem "$gcc_include" -isystem "$gcc_include/i686-w64-mingw32"
  -isystem "$gcc_include/backward" -DUNICODE -D_UNICODE -DWIN32_LEAN_AND_MEAN -DNOMINMAX -D_WIN32_WINNT=0x0601)
mapfile -t annotated < <(git ls-files '*.cpp' '*.h' | grep -v -E '^(bench|tests)/' |
  xargs grep -l -E 'GUARDED_BY\(|REQUIRES\(' | grep -v '^platform/thread_annotations.h$')
checked=0
for header in "${annotated[@]}"; do
  # A header is checked through the sources that include it.
  if [[ $header == *.h ]]; then
    mapfile -t sources < <(git ls-files '*.cpp' | xargs grep -l "#include \"$header\"")
  else
    sources=("$header")
  fi
  for source in "${sources[@]}"; do
    if [[ $source == */win32/* ]]; then clang++ "${checks[@]}" "${windows[@]}" "$source"
    else clang++ "${checks[@]}" "$source"; fi
    checked=$((checked + 1))
  done
done
echo "thread safety: $checked sources checked, no fault"
