#!/bin/sh
# Each instruction-set variant's object files must define nothing outside the
# variant's own namespace: a weak or inline definition compiled with, say,
# -march=x86-64-v4 that shares its name with one the portable code uses (a
# std:: template instance, an inline helper) may be the copy the linker keeps,
# putting AVX-512 instructions on the portable path.
#   check_variant_symbols.sh NM 'OBJECT|OBJECT|...'
# Objects named kernels_<namespace>.<unit>.<ext> are checked (those of the
# portable variant, built with the library's own flags, and all others are
# skipped); each variant's table unit must define its kKernels.
set -eu
nm=$1
checked=0
tables=""
checked_ns=""
old_ifs=$IFS
IFS='|'
set -- $2
IFS=$old_ifs
for object in "$@"; do
  file=${object##*/}
  case $file in kernels_portable.*) continue ;; kernels_*.*) ;; *) continue ;; esac
  ns=${file#kernels_}
  ns=${ns%%.*}
  # Itanium mangling of morvith_plindra::<ns>::..., also behind the prefixes of
  # guard variables, local entities and type data (_ZGV, _ZZ, _ZTI ...) and
  # with a member function's qualifiers (_ZNK... for const).
  inside="N15morvith_plindra${#ns}${ns}"
  qualified="N[rVKRO]*15morvith_plindra${#ns}${ns}"
  # Global and weak definitions (lower-case types are local), less ASan's
  # one-byte ODR marker prefix (named after the global it marks) and the
  # personality-routine reference, which is data and the same everywhere.
  symbols=$("$nm" --defined-only -P "$object" | awk '$2 ~ /^[A-Zu]$/ { print $1 }' | sed 's/^__odr_asan[._]//')
  if printf '%s\n' "$symbols" | grep -qx "_Z${inside}8kKernelsE"; then
    tables="$tables $ns"
  fi
  leaks=$(printf '%s\n' "$symbols" | grep -v -E "^_Z[A-Z]*$qualified" | grep -vx 'DW.ref.__gxx_personality_v0' |
          grep -v '^$' || true)
  if [ -n "$leaks" ]; then
    echo "$file: $(printf '%s\n' "$leaks" | wc -l) definitions outside morvith_plindra::$ns:" >&2
    printf '%s\n' "$leaks" | c++filt >&2 2>/dev/null || printf '%s\n' "$leaks" >&2
    exit 1
  fi
  case " $checked_ns " in *" $ns "*) ;; *) checked_ns="$checked_ns $ns" ;; esac
  checked=$((checked + 1))
done
if [ "$checked" -eq 0 ]; then
  echo "no variant object files among: $*" >&2
  exit 1
fi
for ns in $checked_ns; do
  case " $tables " in
    *" $ns "*) ;;
    *) echo "morvith_plindra::$ns::kKernels is not defined" >&2; exit 1 ;;
  esac
done
echo "$checked object files, every definition inside its variant's namespace:$checked_ns"
