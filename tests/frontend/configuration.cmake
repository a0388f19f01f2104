# Configuration decision table, instrumentation hooks and exit clean-up. The configuration is read
# once per process, so every case is a ctest entry of its own with its own environment.
include(${PROJECT_SOURCE_DIR}/tests/hooks/HookLibraries.cmake)

# qor_config_test(<name> <binary> <filter> [VAR=value ...]): qor_env_test, and the configuration
# variables that are not given are removed from the inherited environment, so that a variable
# set in the developer's shell cannot move a case to another row. A filter that selects no case
# fails the entry instead of passing it empty.
function(qor_config_test name binary filter)
  qor_env_test(${name} ${binary} ${filter} ${ARGN})
  set_tests_properties(${name} PROPERTIES FAIL_REGULAR_EXPRESSION "\\[  PASSED  \\] 0 tests")
  set(removed)
  foreach(variable QORSysPoolAllocator ReplayPurify QORSysAllocatorInstrum)
    if(NOT "${ARGN}" MATCHES "(^|;)${variable}=")
      list(APPEND removed "${variable}=unset:")
    endif()
  endforeach()
  if(removed)
    set_tests_properties(${name} PROPERTIES ENVIRONMENT_MODIFICATION "${removed}")
  endif()
endfunction()

# Binaries that load hook libraries are told where the libraries are and what they are called.
function(qor_hook_client binary)
  target_compile_definitions(${binary} PRIVATE
    QOR_HOOK_LIBRARY_DIR="${QOR_HOOK_LIBRARY_DIR}"
    QOR_RECORDING_HOOKS="${QOR_RECORDING_HOOKS}"
    QOR_MALLOC_ONLY_HOOKS="${QOR_MALLOC_ONLY_HOOKS}"
    QOR_SO_ONLY_HOOKS="${QOR_SO_ONLY_HOOKS}"
    QOR_TRUNCATED_HOOKS="${QOR_TRUNCATED_HOOKS}"
    QOR_TRUNCATED_HOOKS_VALUE="${QOR_TRUNCATED_HOOKS_VALUE}"
    QOR_MISSING_HOOKS="${QOR_MISSING_HOOKS}")
  add_dependencies(${binary} QORTestRecordingHooks QORTestMallocOnlyHooks QORTestSoOnlyHooks
                   QORTestTruncatedHooks)
endfunction()

set(QOR_HOOK_SEARCH_PATH LD_LIBRARY_PATH=${QOR_HOOK_LIBRARY_DIR})

# --- Decision table: QORSysPoolAllocator crossed with ReplayPurify -------------------------------
qor_env_binary(QORConfigurationTests ConfigurationTest.cpp)
set(replay ReplayPurify=1)
foreach(row IN ITEMS
    "AbsentAlone"
    "AbsentWithReplay|${replay}"
    "OnAlone|QORSysPoolAllocator=ON"
    "OnWithReplay|QORSysPoolAllocator=ON|${replay}"
    "OffAlone|QORSysPoolAllocator=OFF"
    "OffWithReplay|QORSysPoolAllocator=OFF|${replay}"
    "CanceledAlone|QORSysPoolAllocator=CANCELED"
    "CanceledWithReplay|QORSysPoolAllocator=CANCELED|${replay}"
    "LowerCaseAlone|QORSysPoolAllocator=on"
    "LowerCaseWithReplay|QORSysPoolAllocator=on|${replay}"
    "TrailingBlankAlone|QORSysPoolAllocator=ON "
    "TrailingBlankWithReplay|QORSysPoolAllocator=ON |${replay}"
    "EmptyAlone|QORSysPoolAllocator=")
  string(REPLACE "|" ";" fields "${row}")
  list(POP_FRONT fields name)
  qor_config_test(Configuration.${name} QORConfigurationTests
                  Rows/DecisionTable.FirstAllocationDecides/${name} ${fields})
endforeach()
foreach(name IN ITEMS OnlyAllocationOrPoolCreationConfigures FirstPagedPoolConfigures)
  qor_config_test(Configuration.${name} QORConfigurationTests ConfigurationTrigger.${name}
                  QORSysPoolAllocator=OFF)
endforeach()

# --- Instrumentation hooks ---------------------------------------------------------------------
qor_env_binary(QORHooksTests HooksTest.cpp)
qor_hook_client(QORHooksTests)
set(recording QORSysAllocatorInstrum=${QOR_RECORDING_HOOKS} ${QOR_HOOK_SEARCH_PATH})
foreach(name IN ITEMS
    PoolCreationReportsTheFlagsAsPassedAndTheFirstArea
    HeapBlockHasTheDeltaBetweenHeaderAndCallersPointer
    BlockBesideAnotherIsPlacedInTheNeighboursChunk
    EveryFailedRequestIsReportedOnce
    PointerWithoutOwnerIsReportedAndNeverReleased
    GeneralPoolFreeReportsBlocksItCannotTake
    AddedChunkIsReportedBeforeTheBlockPlacedInIt
    WalkingDestroyReportsEveryChunkAfterTheFlush
    DestroyIfEmptyReportsTheFlushButNoChunk
    PagedBlockIsReportedWithItsSlotSize)
  qor_config_test(Hooks.${name} QORHooksTests RecordingHooks.${name} ${recording})
endforeach()
foreach(route IN ITEMS Permanent SingleSize24 SingleSize128 FastPool Threaded PoolInParam
                       PoolObject)
  qor_config_test(Hooks.DeltaRoundTrip.${route} QORHooksTests
                  Routes/DeltaRoundTrip.PoolGetsBackTheBlockItHandedOut/${route} ${recording})
endforeach()
qor_config_test(Hooks.InactivePoolsReportTheHeapRoute QORHooksTests
                HookFixture.InactivePoolsReportTheHeapRoute ${recording} QORSysPoolAllocator=OFF)
qor_config_test(Hooks.CancelledPoolsCallNoHook QORHooksTests HookFixture.CancelledPoolsCallNoHook
                ${recording} QORSysPoolAllocator=CANCELED)
qor_config_test(Hooks.LibraryWithOnlyTheMallocHook QORHooksTests
                HookFixture.LibraryWithOnlyTheMallocHook
                QORSysAllocatorInstrum=${QOR_MALLOC_ONLY_HOOKS} ${QOR_HOOK_SEARCH_PATH})
qor_config_test(Hooks.NameIsCutAtSixtyThreeCharacters QORHooksTests
                HookFixture.NameIsCutAtSixtyThreeCharacters
                QORSysAllocatorInstrum=${QOR_TRUNCATED_HOOKS_VALUE} ${QOR_HOOK_SEARCH_PATH})
qor_config_test(Hooks.DllNameFallsBackToSo QORHooksTests HookFixture.DllNameFallsBackToSo
                QORSysAllocatorInstrum=${QOR_SO_ONLY_HOOKS} ${QOR_HOOK_SEARCH_PATH})
qor_config_test(Hooks.MissingLibrary QORHooksTests
                MissingHookLibrary.AllocationsBehaveAsWithoutInstrumentation
                QORSysAllocatorInstrum=${QOR_MISSING_HOOKS} ${QOR_HOOK_SEARCH_PATH})

# --- Exit clean-up (ReplayPurify with pools forced on) -----------------------------------------
qor_env_binary(QORExitCleanupTests ExitCleanupTest.cpp)
qor_hook_client(QORExitCleanupTests)
foreach(name IN ITEMS
    DestroysPermanentAndFastPoolsButNotTheThreadedPool
    RunsOnceEvenWhenRegisteredAgain
    DirectRunClearsTheFixedPoolsAndKeepsTheThreadedPool
    RunsAtExitAfterADirectRun)
  qor_config_test(ExitCleanup.${name} QORExitCleanupTests ExitCleanup.${name} ${replay}
                  QORSysPoolAllocator=ON ${recording})
endforeach()
