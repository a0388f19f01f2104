# Per-thread caches through the cached pair. Every case runs in a fresh process; the suites
# ThreadCacheOff and CheckedThreadCache only with their variable, the others without either. Pool
# 32's cached pair is the heap engine's unless the engine is off, and these cases are the caches':
# the binary turns the engine off for itself (QORSysHeapEngine=OFF).
qor_env_binary(QORThreadCacheTest ThreadCacheTest.cpp)
set(discovery DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60)
gtest_discover_tests(QORThreadCacheTest ${discovery}
                     TEST_FILTER "-*ThreadCacheOff.*:*CheckedThreadCache.*")
gtest_discover_tests(QORThreadCacheTest ${discovery} TEST_FILTER "*ThreadCacheOff.*"
                     PROPERTIES ENVIRONMENT QORSysAllocatorThreadCache=OFF)
gtest_discover_tests(QORThreadCacheTest ${discovery} TEST_FILTER "*CheckedThreadCache.*"
                     PROPERTIES ENVIRONMENT QORSysAllocatorChecks=ON)
