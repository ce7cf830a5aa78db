# The shared library's dynamic symbols: the thirteen host functions and
# nothing else of ours.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(expected ZevrionCreate ZevrionSetServer ZevrionDestroy ZevrionStartTracking
    ZevrionRunTracking ZevrionResetTracking ZevrionStartMarkerDetection
    ZevrionResetMarkerDetection ZevrionRunMarkerDetection ZevrionRegisterObject
    ZevrionDeregisterObject ZevrionLocalDay ZevrionSaveFile)
set(found "")
foreach(line ${lines})
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  string(REGEX REPLACE "@.*" "" name "${name}")
  if(name STREQUAL "" OR name MATCHES "^_(init|fini|edata|end|_bss_start)$")
    continue()
  endif()
  list(FIND expected ${name} at)
  if(at EQUAL -1)
    message(FATAL_ERROR "unexpected export: ${name}")
  endif()
  list(APPEND found ${name})
endforeach()
list(REMOVE_DUPLICATES found)
list(LENGTH found count)
if(NOT count EQUAL 13)
  message(FATAL_ERROR "expected the 13 host functions, found ${count}: ${found}")
endif()
message(STATUS "exports: ${found}")
