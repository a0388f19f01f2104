// Replays qor_out_of_core's objects and visits (VisitStream.h) under four swap policies, with the
// benchmark's zone and object blocks, and counts what each moves after the same warm-up of a
// tenth of the visits: how much of the swap file's traffic its rules cause (page), how much
// reloading single records saves (object), and what object-granular LRU and the furthest-next-
// visit rule (belady) would move.
// Usage: qor_swap_policy_sim [objects] [visits] [--json]
// Prints a markdown table, or with --json one JSON line per policy.
#include "SwapPolicyModel.h"
#include "VisitStream.h"

#include <QORSysAllocator.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using qor::sim::MoveCounts;
using qor::sim::Policy;

struct Workload {
    std::size_t objects = 12000;
    std::size_t visits = 75000;
    bool json = false;
};

// The benchmark's objects and visits, a tenth more visits first as its warm-up.
qor::sim::Trace BuildTrace(const Workload& work, std::uint64_t& initialBytes) {
    qor::bench::VisitStream stream(work.objects);
    qor::sim::Trace trace;
    for (std::size_t i = 0; i < work.objects; ++i)
        trace.requestBytes.push_back(
            static_cast<std::uint32_t>(qor::bench::kObjectFieldBytes + stream.Bytes(i)));
    trace.measuredFrom = work.visits / 10;
    for (std::size_t v = 0; v < trace.measuredFrom + work.visits; ++v) {
        const qor::bench::VisitEvent event = stream.Next();
        const auto request = static_cast<std::uint32_t>(
            event.newBytes != 0 ? qor::bench::kObjectFieldBytes + event.newBytes : 0);
        trace.visits.push_back({static_cast<std::uint32_t>(event.object), event.rewrites, request});
    }
    initialBytes = stream.InitialBytes();
    return trace;
}

// What the swap file's zone has free when the benchmark asks for `zoneBytes`: a pool made as the
// swap file makes it, asked and destroyed.
std::uint64_t ZoneCapacity(std::uint64_t zoneBytes) {
    const std::uint64_t rounded = (zoneBytes + 4095) / 4096 * 4096;
    void* pool = QORSysCreatePool(QORSysPoolFlag::NO_NEW_SUBPOOL | QORSysPoolFlag::FLUSHABLE,
                                  rounded, nullptr);
    if (pool == nullptr) return 0;
    std::size_t freeBytes = 0;
    QORSysPoolGetFreeSpace(pool, &freeBytes, nullptr);
    QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY);
    return freeBytes;
}

double PerVisit(std::uint64_t count, std::size_t visits) {
    return static_cast<double>(count) / static_cast<double>(visits);
}

double MiB(std::uint64_t bytes) { return static_cast<double>(bytes) / (1 << 20); }

void PrintJson(Policy policy, const MoveCounts& c, const Workload& work) {
    const bool paged = qor::sim::MovesPages(policy);
    const std::string changed = paged ? "null" : std::to_string(c.changedBytesWritten);
    std::printf("{\"policy\":\"%s\",\"objects\":%zu,\"visits\":%zu,\"objects_in\":%llu,"
                "\"objects_out\":%llu,\"in_per_visit\":%.3f,\"out_per_visit\":%.3f,"
                "\"pages_read\":%llu,\"pages_written\":%llu,\"bytes_read\":%llu,"
                "\"bytes_written\":%llu,\"changed_bytes_written\":%s}\n",
                qor::sim::PolicyName(policy), work.objects, work.visits,
                static_cast<unsigned long long>(c.objectsIn),
                static_cast<unsigned long long>(c.objectsOut), PerVisit(c.objectsIn, work.visits),
                PerVisit(c.objectsOut, work.visits), static_cast<unsigned long long>(c.pagesRead),
                static_cast<unsigned long long>(c.pagesWritten),
                static_cast<unsigned long long>(c.bytesRead),
                static_cast<unsigned long long>(c.bytesWritten), changed.c_str());
}

// Pages are "-" for the object-granular policies, the changed-only column for the paged ones.
void PrintRow(Policy policy, const MoveCounts& c, const Workload& work) {
    const bool paged = qor::sim::MovesPages(policy);
    char pages[64] = "- | -", changed[32] = "-";
    if (paged)
        std::snprintf(pages, sizeof pages, "%llu | %llu",
                      static_cast<unsigned long long>(c.pagesRead),
                      static_cast<unsigned long long>(c.pagesWritten));
    else
        std::snprintf(changed, sizeof changed, "%.1f", MiB(c.changedBytesWritten));
    std::printf("| %s | %llu | %llu | %.3f | %.3f | %s | %.1f | %.1f | %s |\n",
                qor::sim::PolicyName(policy), static_cast<unsigned long long>(c.objectsIn),
                static_cast<unsigned long long>(c.objectsOut), PerVisit(c.objectsIn, work.visits),
                PerVisit(c.objectsOut, work.visits), pages, MiB(c.bytesRead), MiB(c.bytesWritten),
                changed);
}

bool ParseArguments(int argc, char** argv, Workload& work) {
    int position = 0;
    for (int i = 1; i < argc; ++i) {
        char* end = nullptr;
        if (std::strcmp(argv[i], "--json") == 0) {
            work.json = true;
            continue;
        }
        const unsigned long value = std::strtoul(argv[i], &end, 10);
        if (*end != '\0' || value == 0 || position > 1) return false;
        (position++ == 0 ? work.objects : work.visits) = value;
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Workload work;
    if (!ParseArguments(argc, argv, work)) {
        std::fprintf(stderr, "usage: qor_swap_policy_sim [objects] [visits] [--json]\n");
        return 2;
    }
    std::uint64_t initialBytes = 0;
    const qor::sim::Trace trace = BuildTrace(work, initialBytes);
    const qor::sim::ZoneGeometry zone{ZoneCapacity(initialBytes / 30)};
    if (zone.capacityBytes == 0) return 1;
    if (!work.json)
        std::printf("| policy | objects in | objects out | in per visit | out per visit | "
                    "pages read | pages written | MiB read | MiB written | "
                    "MiB written, changed only |\n|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Policy policy : qor::sim::kPolicies) {
        const MoveCounts counts = qor::sim::Replay(policy, trace, zone);
        (work.json ? PrintJson : PrintRow)(policy, counts, work);
    }
    return 0;
}
