// Every environment variable the library reads, in one table: name, values, effect.
// docs/CONFIGURATION.md is checked against this table by the test suite.
#pragma once

namespace qor {

struct EnvironmentVariable {
    const char* name;
    const char* values;
    const char* effect;
};

inline constexpr EnvironmentVariable kEnvironmentVariables[] = {
    {"QORSysPoolAllocator", "ON, OFF or CANCELED",
     "forces pooling on, off, or off with bare malloc and free"},
    {"ReplayPurify", "any (only presence counts)",
     "registers the exit clean-up; unless pooling is forced, also turns pooling off and cancels "
     "headers"},
    {"QORSysAllocatorInstrum", "base name of the hook library (63 characters at most)",
     "loads <name>.dll and calls its hooks on every allocation, release and pool event"},
    {"QORSysAllocatorForceOptMeth", "0, 1 or 2",
     "merge method of QORSysOptimizePool: automatic, sort-merge, address walk"},
    {"QORSysAllocatorReclaim", "OFF (unset or any other value: on)",
     "OFF: a general pool grows as soon as no listed area fits, without merging its free areas "
     "first"},
    {"QORSysAllocatorChecks", "ON (unset or any other value: off)",
     "ON: every release and every call that names a pool proves what it names first, and a "
     "mistake stops the process with a message (docs/checked-mode.md)"},
};

inline constexpr const char* kPoolAllocatorVariable = kEnvironmentVariables[0].name;
inline constexpr const char* kReplayPurifyVariable = kEnvironmentVariables[1].name;
inline constexpr const char* kInstrumentationVariable = kEnvironmentVariables[2].name;
inline constexpr const char* kForceMergeMethodVariable = kEnvironmentVariables[3].name;
inline constexpr const char* kReclaimVariable = kEnvironmentVariables[4].name;
inline constexpr const char* kChecksVariable = kEnvironmentVariables[5].name;

} // namespace qor
