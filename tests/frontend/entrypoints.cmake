# Entry points, pool management calls and concurrent use of the locking pools. Each case runs in
# a fresh process: the fixed pools and the registry start empty.
qor_test(QOREntryPointsTest EntryPointsTest.cpp)
target_compile_definitions(QOREntryPointsTest
                           PRIVATE QOR_CONFIGURATION_DOC="${PROJECT_SOURCE_DIR}/docs/CONFIGURATION.md"
                                   QOR_README="${PROJECT_SOURCE_DIR}/README.md")
