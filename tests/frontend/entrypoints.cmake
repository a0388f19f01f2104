# Entry points, pool management calls and concurrent use of the locking pools. Each case runs in
# a fresh process: the fixed pools and the registry start empty.
qor_test(QOREntryPointsTest EntryPointsTest.cpp)
target_compile_definitions(QOREntryPointsTest
                           PRIVATE QOR_CONFIGURATION_DOC="${PROJECT_SOURCE_DIR}/docs/CONFIGURATION.md"
                                   QOR_README="${PROJECT_SOURCE_DIR}/README.md")

# Every kind of block through every release entry point against the step-by-step release; once
# more with the thread caches off, where the cached pair's releases reach the pools at once.
qor_test(QORReleaseRoutesTest ReleaseRoutesTest.cpp)
qor_env_test(ReleaseRoutes.WithoutThreadCaches QORReleaseRoutesTest "ReleaseRoutes.*"
             QORSysAllocatorThreadCache=OFF)
