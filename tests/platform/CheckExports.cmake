# Fails when the shared library exports a defined symbol outside its public interface, or when a
# function of that interface is missing.
# Usage: cmake -DNM=<nm> -DLIBRARY=<shared library> -P CheckExports.cmake
# Accepted: names (demangled) that start with QORSys or QORSpecialized, the tables of QORSys
# classes, and the marker entry point.
cmake_minimum_required(VERSION 3.20)

execute_process(COMMAND "${NM}" -D --defined-only -C "${LIBRARY}"
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()

string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names "")
set(foreign "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND names "${name}")
  if(NOT name MATCHES "^(QORSys|QORSpecialized)"
     AND NOT name MATCHES "^(vtable|typeinfo|typeinfo name|VTT) for QORSys"
     AND NOT name STREQUAL "ORVANTIS_ZULX_INTERNAL_QORSysAllocator")
    list(APPEND foreign "${name}")
  endif()
endforeach()
if(foreign)
  list(JOIN foreign "\n  " foreignText)
  message(FATAL_ERROR "exported outside the public interface:\n  ${foreignText}")
endif()

# Each function of the interface with its number of overloads.
set(expected QORSpecializedNew=2 QORSpecializedDelete=2 QORSpecializedResize=1
    QORSysGetAllocatorFromAddress=1 QORSysCreatePool=2 QORSysFlushPool=1 QORSysOptimizePool=1
    QORSysGetPoolInfo=1 QORSysPoolGetFreeSpace=1 QORSysPoolGetAllocAddedSize=1
    QORSysAllGetStructInfos=1 QORSysGetPoolActivityStatus=1)
foreach(entry IN LISTS expected)
  string(REPLACE "=" ";" pair "${entry}")
  list(GET pair 0 function)
  list(GET pair 1 overloads)
  set(found 0)
  foreach(name IN LISTS names)
    if(name MATCHES "^${function}\\(")
      math(EXPR found "${found} + 1")
    endif()
  endforeach()
  if(NOT found EQUAL overloads)
    message(FATAL_ERROR "${function}: ${found} exported, ${overloads} expected")
  endif()
endforeach()
# The marker and the functions a hook library looks up by their C names.
foreach(name ORVANTIS_ZULX_INTERNAL_QORSysAllocator QORSysGetPoolMap QORSysWritePoolMap
             QORSysGetSwapActivity)
  if(NOT name IN_LIST names)
    message(FATAL_ERROR "${name} is not exported by its C name")
  endif()
endforeach()
