// A program that allocates as ordinary C++ does: threads that each build a
// std::map<std::string, std::vector<int>>, read it through, drop it and start again, so that
// every allocation comes from the containers (nodes, strings longer than the small-string buffer,
// vectors growing by push_back). Built twice (CMakeLists.txt): qor_map_program uses the process's
// malloc, qor_map_program_routed the routed global new.
//
// Usage: qor_map_program THREADS MAPS_PER_THREAD [ENTRIES] [--damage]
//   ENTRIES: per map, default 10,000 (about 2.5 MB of blocks per map: a map outgrows the L2
//            cache); keys of 5 to 32 characters (about 60 % beyond the 15 that std::string holds
//            inline), vectors of 0 to 47 ints; lengths from a generator per thread.
//   --damage: change one value of one vector, to check that the check fails.
// Prints one JSON line (ProgramRun.h; operations are maps built, plus the entries per map);
// exits 1 on bad arguments, 2 when an entry read back differs from what was written.
#include "ProgramRun.h"

#ifdef QOR_BENCH_ROUTE_GLOBAL_NEW_DELETE
#include <QORSysStdAdapters.h>
QOR_SYS_ROUTE_GLOBAL_NEW_DELETE();
#endif

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using Map = std::map<std::string, std::vector<int>>;

// A key names its entry's index in its first kIndexLetters letters, least significant first (so
// that neighbouring indexes part at the first letter and the map is not filled in key order); the
// letters after them follow from the index.
constexpr std::size_t kIndexLetters = 5;
constexpr std::uint64_t kMaxEntries = 26ull * 26 * 26 * 26 * 26;

char Filler(std::uint64_t index, std::size_t at) {
    return static_cast<char>('A' + (index + at) % 26);
}

std::string KeyOf(std::uint64_t index, std::size_t length) {
    std::string key(length, ' ');
    std::uint64_t rest = index;
    for (std::size_t at = 0; at < kIndexLetters; ++at, rest /= 26)
        key[at] = static_cast<char>('a' + rest % 26);
    for (std::size_t at = kIndexLetters; at < length; ++at)
        key[at] = Filler(index, at);
    return key;
}

int ValueOf(std::uint64_t index, std::size_t at) { return static_cast<int>(index * 64 + at); }

// Builds one map, one entry per index, the vector grown one value at a time.
void Build(Map& map, std::uint64_t entries, std::mt19937_64& stream) {
    for (std::uint64_t index = 0; index < entries; ++index) {
        const std::uint64_t draw = stream();
        std::vector<int>& values =
            map.try_emplace(KeyOf(index, kIndexLetters + draw % 28)).first->second;
        const std::size_t count = (draw >> 32) % 48;
        for (std::size_t at = 0; at < count; ++at)
            values.push_back(ValueOf(index, at));
    }
}

// The entries read back in key order: false unless there are `entries` of them and each holds
// what Build wrote for its index.
bool Intact(const Map& map, std::uint64_t entries) {
    bool intact = map.size() == entries;
    for (const auto& [key, values] : map) {
        std::uint64_t index = 0;
        for (std::size_t at = kIndexLetters; at-- > 0;)
            index = index * 26 + static_cast<std::uint64_t>(key[at] - 'a');
        for (std::size_t at = kIndexLetters; at < key.size(); ++at)
            intact &= key[at] == Filler(index, at);
        for (std::size_t at = 0; at < values.size(); ++at)
            intact &= values[at] == ValueOf(index, at);
    }
    return intact;
}

} // namespace

int main(int argc, char** argv) {
    qor::bench::ProgramArguments arguments;
    const bool valid = qor::bench::ParseProgramArguments(argc, argv, arguments);
    if (arguments.size == 0) arguments.size = 10000;
    if (!valid || arguments.size > kMaxEntries) {
        std::fprintf(stderr,
                     "usage: qor_map_program THREADS MAPS_PER_THREAD [ENTRIES] [--damage]\n");
        return 1;
    }
    const auto threads = static_cast<unsigned>(arguments.threads);
    std::atomic<std::uint64_t> damaged{0};
    const double seconds = qor::bench::RunTogether(threads, [&](unsigned thread, auto& gate) {
        std::mt19937_64 stream(0x3A9 + thread);
        gate.arrive_and_wait();
        for (std::uint64_t round = 0; round < arguments.perThread; ++round) {
            Map map;
            Build(map, arguments.size, stream);
            if (arguments.damage && thread == 0 && round == 0)
                for (auto& entry : map)
                    if (!entry.second.empty()) {
                        entry.second.back() ^= 1;
                        break;
                    }
            if (!Intact(map, arguments.size)) damaged.fetch_add(1, std::memory_order_relaxed);
        }
    });
    qor::bench::PrintProgramResult("map-program", threads, arguments.perThread * threads, seconds,
                                   ",\"entries\":" + std::to_string(arguments.size));
    if (damaged == 0) return 0;
    std::fprintf(stderr, "qor_map_program: damaged maps: %llu\n",
                 static_cast<unsigned long long>(damaged.load()));
    return 2;
}
