# Links one back end's build of a module body (the module layer's objects and
# the core archive built for that back end) into a single relocatable object
# whose every defined symbol carries the back end's name as a suffix:
# `foo` becomes `foo.avx2`, as GCC names its own clones.
#
# Why: the module carries the same sources built for several back ends. Every
# inline function and template instantiation they share (std::vector's growth,
# std::sort, the core's own inline helpers) is emitted in each build as a
# COMDAT group of the same name, and a plain link would keep one copy for
# all, so the portable path could run a copy compiled with -mavx2, or the
# reverse. The partial link resolves each build within itself; the renaming
# (group signatures included, which may be local symbols) leaves the final
# link nothing to merge across builds. Undefined symbols (the interpreter's,
# the C and C++ runtimes') keep their names. The module's entry refers to
# the body's exec function by its suffixed name (py/common/entry.cpp).
#
# Usage: cmake -DLD=<ld> -DNM=<nm> -DOBJCOPY=<objcopy> -DSUFFIX=<back end>
#              -DOBJECTS=<a.o|b.o|...> -DARCHIVE=<core.a> -DOUTPUT=<out.o>
#              -P isolate_backend.cmake
foreach(var LD NM OBJCOPY SUFFIX OBJECTS ARCHIVE OUTPUT)
  if(NOT ${var})
    message(FATAL_ERROR "isolate_backend.cmake: ${var} is not set")
  endif()
endforeach()
string(REPLACE "|" ";" objects "${OBJECTS}")

set(linked "${OUTPUT}.linked.o")
execute_process(COMMAND "${LD}" -r -o "${linked}" ${objects} "${ARCHIVE}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${LD} -r failed for the ${SUFFIX} body")
endif()

# Every named symbol defined in the object, whatever its binding: globals,
# weak definitions, GNU unique ones and local ones (a COMDAT group's signature
# is often a local symbol of no type, nm's 'n').
execute_process(COMMAND "${NM}" --defined-only "${linked}"
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${linked}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
# "<value> <type> <name>" (no value for some); names hold no spaces.
list(TRANSFORM lines REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "")
list(REMOVE_DUPLICATES lines)
list(TRANSFORM lines REPLACE "^(.+)$" "\\1 \\1.${SUFFIX}")
string(REPLACE ";" "\n" renames "${lines}\n")
file(WRITE "${OUTPUT}.renames" "${renames}")

execute_process(COMMAND "${OBJCOPY}" "--redefine-syms=${OUTPUT}.renames" "${linked}" "${OUTPUT}"
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${OBJCOPY} could not rename the symbols of the ${SUFFIX} body")
endif()
file(REMOVE "${linked}")
