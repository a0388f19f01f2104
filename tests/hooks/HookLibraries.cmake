# Names and place of the test hook libraries, shared by the build of the libraries (this folder)
# and the registration of the tests that load them (tests/frontend/configuration.cmake).
# The front end loads "<QORSysAllocatorInstrum>.dll" by file name through the loader's search
# path, so every library goes into one directory that the tests put on LD_LIBRARY_PATH.
set(QOR_HOOK_LIBRARY_DIR ${PROJECT_BINARY_DIR}/tests/hooks/lib)
# Every hook; a release gets back the delta that its block got.
set(QOR_RECORDING_HOOKS QORRecordingHooks)
# QORSignalMalloc alone.
set(QOR_MALLOC_ONLY_HOOKS QORMallocOnlyHooks)
# Built as "<name>.so" only: found through the ".dll" -> ".so" fallback of the platform layer.
set(QOR_SO_ONLY_HOOKS QORSoOnlyHooks)
# A 63-character base name: the value given to the library is this name plus 7 characters, so
# the library is found only when the value is cut at 63 characters.
string(REPEAT x 46 qor_hook_padding)
set(QOR_TRUNCATED_HOOKS QORTruncatedHooks${qor_hook_padding})
set(QOR_TRUNCATED_HOOKS_VALUE ${QOR_TRUNCATED_HOOKS}Ignored)
# Named by no file.
set(QOR_MISSING_HOOKS QORNoSuchHooks)
