# Each instruction-set variant's object file must define nothing outside the
# variant's own namespace: a weak or inline definition compiled with, say,
# -march=x86-64-v4 that shares its name with one the portable code uses (a
# std:: template instance, an inline helper) may be the copy the linker keeps,
# putting AVX-512 instructions on the portable path.
#   cmake -DNM=<nm> -DOBJECTS=<object|object|...> -P check_variant_symbols.cmake
# Objects named kernels_<namespace>.<ext> are checked; others are skipped.
string(REPLACE "|" ";" objects "${OBJECTS}")
set(checked 0)
foreach(object IN LISTS objects)
  get_filename_component(file "${object}" NAME)
  if(NOT file MATCHES "^kernels_([A-Za-z0-9_]+)\\.")
    continue()
  endif()
  set(ns "${CMAKE_MATCH_1}")
  string(LENGTH "${ns}" ns_length)
  # Itanium mangling of morvith_plindra::<ns>::..., also behind the prefixes of
  # guard variables, local entities and type data (_ZGV, _ZZ, _ZTI ...).
  set(inside "^_Z[A-Z]*N15morvith_plindra${ns_length}${ns}")
  execute_process(COMMAND "${NM}" --defined-only -P "${object}" OUTPUT_VARIABLE listing RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} failed on ${object}")
  endif()
  string(REPLACE "\n" ";" lines "${listing}")
  set(leaks "")
  set(has_table FALSE)
  foreach(line IN LISTS lines)
    # POSIX format: name type [value size]. Lower-case types are local.
    if(NOT line MATCHES "^([^ ]+) ([A-Zu]) ")
      continue()
    endif()
    set(symbol "${CMAKE_MATCH_1}")
    if(symbol STREQUAL "_ZN15morvith_plindra${ns_length}${ns}8kKernelsE")
      set(has_table TRUE)
    endif()
    # The personality-routine reference is data, the same in every object.
    if(NOT symbol MATCHES "${inside}" AND NOT symbol STREQUAL "DW.ref.__gxx_personality_v0")
      list(APPEND leaks "${symbol}")
    endif()
  endforeach()
  if(leaks)
    list(LENGTH leaks count)
    list(JOIN leaks "\n  " shown)
    message(FATAL_ERROR "${file}: ${count} definitions outside morvith_plindra::${ns} (demangle with c++filt):\n  ${shown}")
  endif()
  if(NOT has_table)
    message(FATAL_ERROR "${file}: morvith_plindra::${ns}::kKernels is not defined")
  endif()
  message(STATUS "${file}: every definition inside morvith_plindra::${ns}")
  math(EXPR checked "${checked} + 1")
endforeach()
if(checked EQUAL 0)
  message(FATAL_ERROR "no variant object files among: ${OBJECTS}")
endif()
