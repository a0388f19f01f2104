// The report, written once when the process exits or on a fatal signal: per-pool counters, the
// blocks still live grouped by pool and size, the damage found and the invalid pointers met. Text
// goes to stderr and <prefix>.txt, JSON to <prefix>.json. Formatted by SafeFormat into fixed
// buffers and written with write(2): nothing here allocates, locks or uses stdio, so a signal
// handler may write it.
#include "EventRecording.h"
#include "ReportSink.h"
#include "SafeFormat.h"
#include "TracerState.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qor::tracer {
namespace {

struct Name {
    char text[112];
    char json[700];
    explicit Name(std::uint16_t pool) {
        DisplayName(gState.pools[pool], text, sizeof text);
        Json(text, json, sizeof json);
    }
};

bool HasActivity(const PoolRecord& pool) {
    return pool.allocations + pool.failures + pool.invalidPointers != 0;
}

// Listed in the JSON report: active, or named by a sample.
bool Listed(const PoolRecord& pool) { return HasActivity(pool) || pool.sampled; }

// Calls visit(first entry, count) for each run of live blocks of one pool and one size.
// Requires: `live` sorted by pool, then size.
template <typename Visitor>
void ForEachLeakGroup(const LiveBlock* live, std::size_t count, Visitor visit) {
    for (std::size_t start = 0, end = 0; start < count; start = end) {
        while (end < count && live[end].pool == live[start].pool &&
               live[end].size == live[start].size)
            ++end;
        visit(live[start], end - start);
    }
}

const char* KindName(BlockKind kind) {
    const char* names[] = {"none", "heap", "general", "paged", "engine"};
    return names[static_cast<int>(kind)];
}

void WriteText(Sink& out, const LiveBlock* live, std::size_t liveCount, const char* jsonPath,
               int signal) {
    out.Print("QORSysTracer report for process %d (%d bytes reserved in front of every block)\n",
              gState.pid, kDelta);
    if (signal != 0)
        out.Print("Written at fatal signal %d: what was recorded up to the fault\n", signal);
    if (gState.sampleBytes != 0)
        out.Print("Sampled: about one request in %u bytes asked for was seen, the heap engine "
                  "serving the others; the pools below hold the seen blocks alone\n",
                  unsigned{gState.sampleBytes});
    out.Print("Pools:\n");
    for (int i = 0; i < gState.poolCount; ++i) {
        const PoolRecord& pool = gState.pools[i];
        if (!HasActivity(pool)) continue;
        out.Print("  %s: allocations %" PRIu64 ", releases %" PRIu64 ", failures %" PRIu64
                  ", invalid pointers %" PRIu64 ", live blocks %" PRIu64 ", live bytes %" PRIu64
                  ", peak bytes %" PRIu64,
                  Name(static_cast<std::uint16_t>(i)).text, pool.allocations, pool.releases,
                  pool.failures, pool.invalidPointers, pool.liveBlocks, pool.liveBytes,
                  pool.peakBytes);
        if (pool.flushes != 0)
            out.Print(", flushes %" PRIu64 " (blocks ended %" PRIu64 ")", pool.flushes,
                      pool.dropped);
        out.Print("%s\n", pool.destroyed ? ", destroyed" : "");
    }
    out.Print("Leaks (blocks live at exit), by pool and size:\n");
    if (liveCount == 0) out.Print("  none\n");
    ForEachLeakGroup(live, liveCount, [&](const LiveBlock& first, std::size_t count) {
        out.Print("  %s: %zu x %" PRIu64 " bytes (first at 0x%" PRIxPTR ")\n",
                  Name(first.pool).text, count, first.size, first.pointer);
    });
    out.Print("Damaged blocks:\n");
    if (gState.damageCount == 0) out.Print("  none\n");
    for (int i = 0; i < gState.damageCount; ++i) {
        char line[384];
        DescribeDamage(gState.damage[i], line, sizeof line);
        out.Print("  %s\n", line);
    }
    out.Print("Invalid pointers:\n");
    if (gState.invalidCount == 0) out.Print("  none\n");
    for (int i = 0; i < gState.invalidCount; ++i) {
        const InvalidPointer& invalid = gState.invalid[i];
        out.Print("  0x%" PRIxPTR ": %s", invalid.pointer, InvalidPointerReason(invalid.tag));
        if (invalid.pool != kNoPool) out.Print(" (pool %s)", Name(invalid.pool).text);
        out.Print("\n");
    }
    if (gState.untrackedBlocks + gState.untrackedReleases + gState.findingsDropped != 0)
        out.Print("Not tracked: %" PRIu64 " blocks (table full), %" PRIu64
                  " releases of untracked blocks, %" PRIu64 " findings beyond the tables\n",
                  gState.untrackedBlocks, gState.untrackedReleases, gState.findingsDropped);
    if (gState.exitStatus != 0)
        out.Print("Exit status: %d (QORSysTracerExitCode), for the leaks or damaged blocks above\n",
                  gState.exitStatus);
    if (jsonPath != nullptr) out.Print("JSON report: %s\n", jsonPath);
}

void WriteJson(Sink& out, LiveBlock* live, std::size_t liveCount, int signal) {
    char command[sizeof gState.command * 6];
    // The writer's own pid (a forked child's, not the one that started the tracer) and its
    // parent's, from which the reports of one run make a tree of processes.
    out.Print("{\"tool\": \"QORSysTracer\", \"pid\": %d, \"parentPid\": %d, \"command\": \"%s\", "
              "\"delta\": %d,",
              int(::getpid()), int(::getppid()), Json(gState.command, command, sizeof command),
              kDelta);
    if (gState.sampleBytes != 0) out.Print(" \"sampleBytes\": %u,", unsigned{gState.sampleBytes});
    if (signal != 0) out.Print(" \"fatalSignal\": %d,", signal);
    out.Print("\n\"pools\": [");
    const char* separator = "\n";
    for (int i = 0; i < gState.poolCount; ++i) {
        const PoolRecord& pool = gState.pools[i];
        if (!Listed(pool)) continue;
        out.Print(
            "%s{\"id\": %d, \"name\": \"%s\", \"address\": \"0x%" PRIxPTR "\", \"kind\": \"%s\", "
            "\"allocations\": %" PRIu64 ", \"releases\": %" PRIu64 ", \"failures\": %" PRIu64
            ", \"invalidPointers\": %" PRIu64 ", \"liveBlocks\": %" PRIu64
            ", \"liveBytes\": %" PRIu64 ", \"peakBytes\": %" PRIu64 ", \"chunksAdded\": %" PRIu64
            ", \"flushes\": %" PRIu64 ", \"endedByFlush\": %" PRIu64 ", \"destroyed\": %s}",
            separator, i, Name(static_cast<std::uint16_t>(i)).json,
            reinterpret_cast<std::uintptr_t>(pool.address), KindName(pool.kind), pool.allocations,
            pool.releases, pool.failures, pool.invalidPointers, pool.liveBlocks, pool.liveBytes,
            pool.peakBytes, pool.chunksAdded, pool.flushes, pool.dropped,
            pool.destroyed ? "true" : "false");
        separator = ",\n";
    }
    out.Print("],\n\"leaks\": [");
    separator = "\n";
    ForEachLeakGroup(live, liveCount, [&](const LiveBlock& first, std::size_t count) {
        out.Print("%s{\"pool\": \"%s\", \"size\": %" PRIu64 ", \"count\": %zu, \"bytes\": %" PRIu64
                  ", \"first\": \"0x%" PRIxPTR "\"}",
                  separator, Name(first.pool).json, first.size, count, first.size * count,
                  first.pointer);
        separator = ",\n";
    });
    out.Print("],\n\"damage\": [");
    separator = "\n";
    for (int i = 0; i < gState.damageCount; ++i) {
        const Damage& damage = gState.damage[i];
        out.Print("%s{\"block\": \"0x%" PRIxPTR "\", \"size\": %" PRIu64
                  ", \"pool\": \"%s\", \"areas\": [",
                  separator, damage.pointer, damage.size, Name(damage.pool).json);
        for (int bit = 0, listed = 0; bit < kDamageAreaCount; ++bit)
            if (damage.areas & (1 << bit))
                out.Print("%s\"%s\"", listed++ ? ", " : "", kDamageAreaNames[bit]);
        out.Print("], \"found\": \"%s\"", damage.atExit ? "exit" : "release");
        if (damage.below != 0)
            out.Print(", \"below\": \"0x%" PRIxPTR "\", \"belowSize\": %" PRIu64, damage.below,
                      damage.belowSize);
        out.Print(", \"stack\": %u}", damage.stack);
        separator = ",\n";
    }
    out.Print("],\n\"invalidPointers\": [");
    separator = "\n";
    for (int i = 0; i < gState.invalidCount; ++i) {
        const InvalidPointer& invalid = gState.invalid[i];
        char reason[112];
        out.Print("%s{\"pointer\": \"0x%" PRIxPTR "\", \"reason\": \"%s\", \"pool\": \"%s\"}",
                  separator, invalid.pointer,
                  Json(InvalidPointerReason(invalid.tag), reason, sizeof reason),
                  Name(invalid.pool).json);
        separator = ",\n";
    }
    out.Print("],\n\"untrackedBlocks\": %" PRIu64 ", \"untrackedReleases\": %" PRIu64
              ", \"findingsDropped\": %" PRIu64,
              gState.untrackedBlocks, gState.untrackedReleases, gState.findingsDropped);
    // A sample of the requests cannot tell which were released before the next allocation.
    if (gState.sampleBytes == 0)
        out.Print(",\n\"temporary\": {\"allocations\": %" PRIu64 ", \"bytes\": %" PRIu64 "}",
                  gState.temporaryAllocations, gState.temporaryBytes);
    WriteJsonOverTime(out, live, liveCount, signal);
    out.Print("}\n");
}

} // namespace

// QORSysTracerOutput (read by Start), or qor-trace-<pid> in the current directory. A prefix that
// ends in '/' is a directory in which every process of a run (each program a wrapper starts, each
// child forked) writes <pid>. A child forked after the tracer started writes under its own pid
// beside the parent's report.
void OutputPrefix(char* out, std::size_t bytes) {
    const char* chosen = gState.outputPrefix;
    const int pid = ::getpid();
    const std::size_t length = std::strlen(chosen);
    if (length == 0)
        SafePrint(out, bytes, "qor-trace-%d", pid);
    else if (chosen[length - 1] == '/')
        SafePrint(out, bytes, "%s%d", chosen, pid);
    else if (pid != gState.pid)
        SafePrint(out, bytes, "%s-%d", chosen, pid);
    else
        SafePrint(out, bytes, "%s", chosen);
}

namespace {

// The directories that `path` names, made as needed: the prefix is set by hand as often as by
// qor-trace, which makes its own. Only calls that a fatal signal's handler may make.
void MakeDirectories(const char* path) {
    char made[4096];
    SafePrint(made, sizeof made, "%s", path);
    for (char* slash = std::strchr(made + 1, '/'); slash != nullptr;
         slash = std::strchr(slash + 1, '/')) {
        *slash = '\0';
        ::mkdir(made, 0777); // an existing one answers EEXIST; a failure shows when the file opens
        *slash = '/';
    }
}

} // namespace

// Never one of the standard descriptors: a program may have closed them before the report
// (coreutils close stdout and stderr in an exit handler that runs before ours), and the text
// written to stderr would then land in a report file.
int OpenOutput(const char* path) {
    MakeDirectories(path);
    int fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0 && fd <= STDERR_FILENO) {
        const int high = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        ::close(fd);
        fd = high;
    }
    if (fd < 0) {
        char line[4200];
        SafePrint(line, sizeof line, "QORSysTracer: cannot write %s: error %d\n", path, errno);
        WriteAll(STDERR_FILENO, line, std::strlen(line));
    }
    return fd;
}

namespace {

// Requires: gState.lock held, or the process stopped in a fatal signal's handler.
void WriteReportHeld(int signal) {
    if (gState.finished) return;
    gState.finished = true;
    Start();
    FinishRecording(signal == 0);
    // After a fault the blocks' memory may be gone with their pool: only an exit reads it.
    if (signal == 0)
        gState.blocks.ForEach([](LiveBlock& block) {
            const std::uint8_t areas = DamagedAreas(block) & ~block.reported;
            if (areas != 0) RecordDamage(block, areas, true);
        });
    const std::size_t liveCount = gState.blocks.Count();
    if (signal == 0 && (liveCount != 0 || gState.damageCount != 0))
        gState.exitStatus = gState.exitStatusOnFindings;
    LiveBlock* live = gState.blocks.Compact();
    std::sort(live, live + liveCount, [](const LiveBlock& a, const LiveBlock& b) {
        if (a.pool != b.pool) return a.pool < b.pool;
        return a.size != b.size ? a.size < b.size : a.pointer < b.pointer;
    });

    char prefix[4096];
    OutputPrefix(prefix, sizeof prefix);
    char textPath[4112], jsonPath[4112];
    SafePrint(textPath, sizeof textPath, "%s.txt", prefix);
    SafePrint(jsonPath, sizeof jsonPath, "%s.json", prefix);
    const int text = OpenOutput(textPath);
    const int json = OpenOutput(jsonPath);
    {
        Sink out(STDERR_FILENO, text);
        WriteText(out, live, liveCount, json >= 0 ? jsonPath : nullptr, signal);
    }
    {
        Sink out(json, -1);
        WriteJson(out, live, liveCount, signal);
    }
    if (text >= 0) ::close(text);
    if (json >= 0) ::close(json);
}

} // namespace

void WriteReport() {
    std::lock_guard<std::mutex> guard(gState.lock);
    WriteReportHeld(0);
}

// The lock is not taken: the fault may have come while this thread held it, and no other thread
// gets to run the report's code path (finished is set first).
void WriteReportOnSignal(int signal) { WriteReportHeld(signal); }

} // namespace qor::tracer
