# Fails when an object of the core archive ARCHIVE would run code as the module
# is loaded: a global constructor (.init_array, .ctors, .preinit_array) or an
# .init section. The AVX2 core is compiled for AVX2, and that code would run before
# the module can choose a back end, killing the interpreter on a processor without.
# Usage: cmake -DREADELF=<readelf> -DARCHIVE=<lib.a> -P check_no_load_time_code.cmake
execute_process(COMMAND "${READELF}" --section-headers --wide "${ARCHIVE}"
                OUTPUT_VARIABLE sections RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${READELF} could not read ${ARCHIVE}")
endif()
# Square brackets would upset CMake's list splitting; the section index needs none.
string(REPLACE "[" "" sections "${sections}")
string(REPLACE "]" "" sections "${sections}")
string(REGEX MATCHALL "File: [^\n]*| \\.(init_array|ctors|preinit_array|init)[ .][^\n]*"
       hits "${sections}")
set(file "")
set(found "")
foreach(hit IN LISTS hits)
  if(hit MATCHES "^File: ")
    set(file "${hit}")
  else()
    string(APPEND found "\n  ${file}: ${hit}")
  endif()
endforeach()
if(found)
  message(FATAL_ERROR "the core must run no code at load time; found:${found}")
endif()
