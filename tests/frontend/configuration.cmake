# The process-wide configuration: decision table, instrumentation hooks and exit clean-up. The
# configuration is read once per process, so every case is a ctest entry with its own environment.
include(${PROJECT_SOURCE_DIR}/tests/hooks/HookLibraries.cmake)

qor_env_binary(QORConfigurationTests ConfigurationTest.cpp)
target_compile_definitions(QORConfigurationTests PRIVATE
                           QOR_RECORDING_HOOKS="${QOR_RECORDING_HOOKS}")
add_dependencies(QORConfigurationTests QORTestRecordingHooks QORTestMallocOnlyHooks
                 QORTestSoOnlyHooks QORTestTruncatedHooks)

# qor_config_test(<name> <filter> [VAR=value ...]): qor_env_test, and the variables that are not
# given are removed from the inherited environment, so that a variable set in the developer's
# shell cannot move a case to another row. A filter that selects no case fails the entry.
function(qor_config_test name filter)
  qor_env_test(${name} QORConfigurationTests ${filter} ${ARGN})
  set_tests_properties(${name} PROPERTIES FAIL_REGULAR_EXPRESSION "\\[  PASSED  \\] 0 tests")
  set(removed)
  foreach(variable QORSysPoolAllocator ReplayPurify QORSysAllocatorInstrum QOR_TEST_HOOK_FILE)
    if(NOT "${ARGN}" MATCHES "(^|;)${variable}=")
      list(APPEND removed "${variable}=unset:")
    endif()
  endforeach()
  if(removed)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT_MODIFICATION "${removed}")
  endif()
endfunction()

# The hook libraries are found through the loader's search path.
set(search_path LD_LIBRARY_PATH=${QOR_HOOK_LIBRARY_DIR})
set(recording QORSysAllocatorInstrum=${QOR_RECORDING_HOOKS} ${search_path})

# --- Decision table: QORSysPoolAllocator crossed with ReplayPurify -------------------------------
# Each row: name | message printed | inactive cancelled exit-clean-up-registered | variables.
set(activation "! FORCED ACTIVATION FOR QORSysAllocators\n")
set(inactivation "! FORCED INACTIVATION FOR QORSysAllocators\n")
set(invalid "Invalid value for QORSysPoolAllocator\nValid values are ON , OFF or CANCELED")
set(replay ReplayPurify=1)
foreach(row IN ITEMS
    "AbsentAlone||0 0 0"
    "AbsentWithReplay||-1 -1 -1|${replay}"
    "OnAlone|${activation}|0 0 0|QORSysPoolAllocator=ON"
    "OnWithReplay|${activation}|0 0 -1|QORSysPoolAllocator=ON|${replay}"
    "OffAlone|${inactivation}|-1 0 0|QORSysPoolAllocator=OFF"
    "OffWithReplay|${inactivation}|-1 0 0|QORSysPoolAllocator=OFF|${replay}"
    "CanceledAlone|${inactivation}|-1 -1 0|QORSysPoolAllocator=CANCELED"
    "CanceledWithReplay|${inactivation}|-1 -1 0|QORSysPoolAllocator=CANCELED|${replay}"
    "LowerCaseAlone|${invalid}|0 0 0|QORSysPoolAllocator=on"
    "LowerCaseWithReplay|${invalid}|-1 -1 -1|QORSysPoolAllocator=on|${replay}"
    "TrailingBlankAlone|${invalid}|0 0 0|QORSysPoolAllocator=ON "
    "TrailingBlankWithReplay|${invalid}|-1 -1 -1|QORSysPoolAllocator=ON |${replay}"
    "EmptyAlone|${invalid}|0 0 0|QORSysPoolAllocator=")
  string(REPLACE "|" ";" fields "${row}")
  list(POP_FRONT fields name message flags)
  string(REPLACE " " ";" flags "${flags}")
  list(GET flags 0 inactive)
  list(GET flags 1 cancelled)
  list(GET flags 2 exit_cleanup)
  qor_config_test(Configuration.${name} Configuration.FirstAllocationDecides
                  "QOR_TEST_MESSAGE=${message}" QOR_TEST_INACTIVE=${inactive}
                  QOR_TEST_CANCELLED=${cancelled} QOR_TEST_EXIT_CLEANUP=${exit_cleanup} ${fields})
endforeach()
# The first pool creation configures as well; the hooks then see the heap route.
qor_config_test(Configuration.ResetStateGivesAFreshModule
                Configuration.ResetStateGivesAFreshModule)
qor_config_test(Configuration.SwitchesReadTheWaysPeopleWriteThem
                Configuration.SwitchesReadTheWaysPeopleWriteThem)
qor_config_test(Configuration.PoolCreationConfigures Configuration.PoolCreationConfigures
                "QOR_TEST_MESSAGE=${inactivation}" QORSysPoolAllocator=OFF ${recording})

# --- Instrumentation hooks -----------------------------------------------------------------------
foreach(name IN ITEMS PoolEvents PoolGetsBackTheBlockItHandedOut FailuresAndInvalidPointers)
  qor_config_test(Hooks.${name} RecordingHooks.${name} ${recording})
endforeach()
# Each library name with the file that must be loaded and the delta that blocks must get: the
# name cut at 63 characters, the ".dll" -> ".so" fallback, QORSignalMalloc alone, no library.
foreach(library IN ITEMS
    "Recording|${QOR_RECORDING_HOOKS}|${QOR_RECORDING_HOOKS}.dll|16"
    "Truncated|${QOR_TRUNCATED_HOOKS_VALUE}|${QOR_TRUNCATED_HOOKS}.dll|16"
    "SoOnly|${QOR_SO_ONLY_HOOKS}|${QOR_SO_ONLY_HOOKS}.so|16"
    "MallocOnly|${QOR_MALLOC_ONLY_HOOKS}|${QOR_MALLOC_ONLY_HOOKS}.dll|0"
    "Missing|${QOR_MISSING_HOOKS}||0")
  string(REPLACE "|" ";" fields "${library}")
  list(GET fields 0 name)
  list(GET fields 1 value)
  list(GET fields 2 file)
  list(GET fields 3 delta)
  set(file_variable)
  if(file)
    set(file_variable QOR_TEST_HOOK_FILE=${file})
  endif()
  qor_config_test(Hooks.Library.${name} HookLibrary.IsFoundByItsName
                  QORSysAllocatorInstrum=${value} ${search_path} QOR_TEST_DELTA=${delta}
                  ${file_variable})
endforeach()

# --- Exit clean-up (ReplayPurify with pools forced on) -------------------------------------------
qor_config_test(ExitCleanup.DestroysTheFixedPoolsOnce ExitCleanup.DestroysTheFixedPoolsOnce
                ${replay} QORSysPoolAllocator=ON ${recording})
