// qor-replay: a recording of QORSysTracer (QORSysTracerRecord=1) replayed on each of the
// library's routes and on the process's malloc (and on each malloc named with --preload), with a
// table of time, instructions and peak memory per route and the route it recommends.
// Each route runs in a fresh process of its own (this command again, a preloaded malloc under
// LD_PRELOAD), so that every route starts from a clean address space and its high-water mark is
// its own; with --instructions=callgrind a second one under callgrind counts its instructions.
#include "Recording.h"
#include "Replay.h"
#include "Routes.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace qor::replay {

std::uint64_t ResetResidentPeak() {
    if (std::FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", refs);
        std::fclose(refs);
    }
    return bench::ResidentBytes("VmRSS:");
}

namespace {

using namespace qor::bench;

constexpr int kBadInput = 2; // the status of a refused command line or recording
constexpr double kNearFastest = 0.10;

// The private pools are LOCKED when the recording has several threads: unlocked, they serve one.
template <unsigned kFlags> using Private = PrivatePoolRoute<kFlags>;
template <unsigned kFlags, bool kThreads>
using PrivateFor = Private<kFlags | (kThreads ? QORSysPoolFlag::LOCKED : 0u)>;

template <bool kThreads>
std::optional<Figures> ReplayOn(const std::string& route, const Recording& recording) {
    if (route == "qor-arg4" && !kThreads) return Replay<FixedArgumentRoute<4>>(recording);
    if (route == "qor-paged")
        return Replay<PagedWithLargeRoute<PrivateFor<QORSysPoolFlag::PAGED, kThreads>>>(recording);
    if (route == "qor-plain") return Replay<PrivateFor<0, kThreads>>(recording);
    if (route == "qor-tracked")
        return Replay<PrivateFor<QORSysPoolFlag::TRACKED_FREE_LIST, kThreads>>(recording);
    if (route == "qor-cached32") return Replay<CachedThreadSafeRoute>(recording);
    if (route == "malloc") return Replay<MallocRoute>(recording);
    return std::nullopt;
}

std::size_t ThreadsOf(const Recording& recording) {
    std::size_t threads = 0;
    for (const auto& events : recording.threads)
        threads += !events.empty();
    return threads;
}

// The line a child hands its parent, and its reading.
std::string FiguresLine(const Figures& f) {
    char line[320];
    std::snprintf(line, sizeof line, "figures %.9f %llu %.9f %llu %llu %llu %llu %llu %lld %lld\n",
                  f.seconds, (unsigned long long)f.instructions, f.loopSeconds,
                  (unsigned long long)f.loopInstructions, (unsigned long long)f.peakResident,
                  (unsigned long long)f.allocations, (unsigned long long)f.releases,
                  (unsigned long long)f.failures, (long long)f.liveBlocks, (long long)f.liveBytes);
    return line;
}

std::optional<Figures> ParseFigures(const std::string& line) {
    Figures f;
    unsigned long long instructions, loopInstructions, peak, allocations, releases, failures;
    long long blocks, bytes;
    if (std::sscanf(line.c_str(), "figures %lf %llu %lf %llu %llu %llu %llu %llu %lld %lld",
                    &f.seconds, &instructions, &f.loopSeconds, &loopInstructions, &peak,
                    &allocations, &releases, &failures, &blocks, &bytes) != 10)
        return std::nullopt;
    f.instructions = instructions, f.loopInstructions = loopInstructions, f.peakResident = peak;
    f.allocations = allocations, f.releases = releases, f.failures = failures;
    f.liveBlocks = blocks, f.liveBytes = bytes;
    return f;
}

// Replays `route` in this process and prints its figures line; the status says whether it could.
int ReplayHere(const std::string& route, const Recording& recording) {
    const std::optional<Figures> figures = ThreadsOf(recording) > 1
                                               ? ReplayOn<true>(route, recording)
                                               : ReplayOn<false>(route, recording);
    if (!figures) return 1;
    std::fputs(FiguresLine(*figures).c_str(), stdout);
    return 0;
}

struct Row {
    std::string route;
    std::optional<Figures> figures; // none: `why` says why not
    std::string why;
};

// Why a child gave no figures, from its status.
std::string WhyNot(const std::string& route, int status, std::uint64_t seconds) {
    if (WIFSIGNALED(status) && WTERMSIG(status) == SIGALRM)
        return "stopped at the time limit of " + std::to_string(seconds) + " s (--seconds)";
    if (route == "qor-arg4" && WIFEXITED(status) && WEXITSTATUS(status) == 1)
        return "n/a: pool argument 4 serves one thread";
    return "failed (see above)";
}

// Starts `argv` in a child whose standard output is `out`, stopped by SIGALRM after `seconds`
// (kept across the exec), with `preload` in front of its malloc when given; -1 when it cannot.
pid_t StartChild(std::vector<std::string> argv, const std::string& preload, std::uint64_t seconds,
                 int out) {
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    ::alarm(static_cast<unsigned>(seconds));
    ::dup2(out, STDOUT_FILENO);
    if (!preload.empty()) ::setenv("LD_PRELOAD", preload.c_str(), 1);
    std::vector<char*> args;
    for (std::string& argument : argv)
        args.push_back(argument.data());
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

// Waits for a child from StartChild; true when it exited with status 0 (`status` as it ended).
bool EndedWell(pid_t pid, int& status) {
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// This command's own file: /proc/self/exe names another program once the child runs valgrind.
std::string ThisCommand() {
    char path[4096];
    const ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<std::size_t>(length)) : "/proc/self/exe";
}

// Runs `route` in a child of its own, this command again reading the recording itself: a forked
// child's heap would be this process's, and its resident figures would differ from those of the
// program that was recorded. `preload` puts a malloc in front.
Row RunChild(const std::string& route, const std::string& preload, const std::string& path,
             std::uint64_t seconds) {
    Row row{preload.empty() ? route : "malloc " + preload.substr(preload.rfind('/') + 1), {}, {}};
    int pipeEnds[2];
    if (::pipe(pipeEnds) != 0) return row.why = "failed: no pipe", row;
    const pid_t pid =
        StartChild({ThisCommand(), "--child=" + route, path}, preload, seconds, pipeEnds[1]);
    ::close(pipeEnds[1]);
    std::string output;
    char buffer[512];
    for (ssize_t got; pid > 0 && (got = ::read(pipeEnds[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, static_cast<std::size_t>(got));
    ::close(pipeEnds[0]);
    int status = 0;
    if (EndedWell(pid, status)) row.figures = ParseFigures(output);
    if (!row.figures) row.why = WhyNot(route, status, seconds);
    return row;
}

// The instructions of a callgrind dump ("totals:" or, without it, "summary:"), 0 when unread.
std::uint64_t DumpedInstructions(const std::string& file) {
    std::ifstream dump(file);
    std::uint64_t summary = 0;
    for (std::string line; std::getline(dump, line);) {
        if (line.rfind("totals: ", 0) == 0) return std::strtoull(line.c_str() + 8, nullptr, 10);
        if (line.rfind("summary: ", 0) == 0) summary = std::strtoull(line.c_str() + 9, nullptr, 10);
    }
    return summary;
}

// The row's instructions counted by callgrind in a second child (the first one's times stand):
// the replay dumps its loop's run and then the route's. Left as they are when valgrind cannot be
// run or the child ends otherwise.
void CountUnderCallgrind(Row& row, const std::string& route, const std::string& preload,
                         const std::string& path, std::uint64_t seconds) {
    if (!row.figures) return;
    char directory[] = "/tmp/qor-replay-counts-XXXXXX";
    if (::mkdtemp(directory) == nullptr) return;
    const std::string out = std::string(directory) + "/counts";
    const int quiet = ::open("/dev/null", O_WRONLY);
    const pid_t pid =
        StartChild({"valgrind", "--tool=callgrind", "--quiet", "--instr-atstart=no",
                    "--callgrind-out-file=" + out, ThisCommand(), "--child=" + route, path},
                   preload, seconds, quiet);
    ::close(quiet);
    int status = 0;
    const bool ended = EndedWell(pid, status);
    const std::uint64_t loop = ended ? DumpedInstructions(out + ".1") : 0;
    const std::uint64_t all = ended ? DumpedInstructions(out + ".2") : 0;
    if (loop != 0 && all != 0) {
        row.figures->loopInstructions = loop;
        row.figures->instructions = all;
    } else {
        std::fprintf(stderr, "qor-replay: %s: no counts from callgrind%s\n", row.route.c_str(),
                     ended ? "" : " (is valgrind installed? --seconds may be too short for it)");
    }
    std::filesystem::remove_all(directory);
}

std::string Mebibytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1 << 20));
    return text;
}

void PrintRecording(const std::string& path, const Recording& r) {
    std::printf("recording %s: %zu threads, %llu allocations, %llu releases (%llu by another "
                "thread), live at the end: %llu blocks, %llu bytes; peak requested %s\n",
                path.c_str(), ThreadsOf(r), (unsigned long long)r.allocations,
                (unsigned long long)r.releases, (unsigned long long)r.crossThreadReleases,
                (unsigned long long)r.liveBlocks, (unsigned long long)r.liveBytes,
                Mebibytes(r.peakBytes).c_str());
}

// A row's seconds and instructions are the route's: the replay's own loop, measured over the same
// events with no allocator, is taken off and shown apart ("loop seconds").
void PrintTable(const std::vector<Row>& rows, const Recording& recording) {
    std::printf("%-28s %10s %12s %14s %14s %12s %12s %10s %14s\n", "route", "seconds",
                "loop seconds", "instructions", "peak resident", "of requested", "allocations",
                "releases", "live at end");
    for (const Row& row : rows) {
        if (!row.figures) {
            std::printf("%-28s %s\n", row.route.c_str(), row.why.c_str());
            continue;
        }
        const Figures& f = *row.figures;
        const std::string instructions =
            f.instructions != 0 ? std::to_string(f.RouteInstructions()) : "n/a";
        const double share = recording.peakBytes != 0
                                 ? 100.0 * static_cast<double>(f.peakResident) /
                                       static_cast<double>(recording.peakBytes)
                                 : 0;
        char live[48];
        std::snprintf(live, sizeof live, "%lld/%lld B", (long long)f.liveBlocks,
                      (long long)f.liveBytes);
        std::printf("%-28s %10.4f %12.4f %14s %14s %11.0f%% %12llu %10llu %14s%s\n",
                    row.route.c_str(), f.RouteSeconds(), f.loopSeconds, instructions.c_str(),
                    Mebibytes(f.peakResident).c_str(), share, (unsigned long long)f.allocations,
                    (unsigned long long)f.releases, live,
                    f.failures != 0 ? "  (allocations failed)" : "");
    }
}

// Of the routes within kNearFastest of the fastest, the one with the lowest peak resident.
void PrintRecommendation(const std::vector<Row>& rows) {
    const Row* fastest = nullptr;
    for (const Row& row : rows)
        if (row.figures &&
            (!fastest || row.figures->RouteSeconds() < fastest->figures->RouteSeconds()))
            fastest = &row;
    if (fastest == nullptr) return;
    const Row* chosen = fastest;
    for (const Row& row : rows)
        if (row.figures &&
            row.figures->RouteSeconds() <= fastest->figures->RouteSeconds() * (1 + kNearFastest) &&
            row.figures->peakResident < chosen->figures->peakResident)
            chosen = &row;
    if (chosen == fastest) {
        std::printf("recommended: %s, the fastest (%.4f s), with a peak resident of %s\n",
                    chosen->route.c_str(), chosen->figures->RouteSeconds(),
                    Mebibytes(chosen->figures->peakResident).c_str());
        return;
    }
    std::printf("recommended: %s, within %.0f %% of the fastest (%.4f s against %.4f s on %s) "
                "with the lowest peak resident of those (%s against %s)\n",
                chosen->route.c_str(), 100 * kNearFastest, chosen->figures->RouteSeconds(),
                fastest->figures->RouteSeconds(), fastest->route.c_str(),
                Mebibytes(chosen->figures->peakResident).c_str(),
                Mebibytes(fastest->figures->peakResident).c_str());
}

const std::vector<std::string> kRoutes{"qor-arg4",    "qor-paged",    "qor-plain",
                                       "qor-tracked", "qor-cached32", "malloc"};

bool Known(const std::string& route) {
    return std::find(kRoutes.begin(), kRoutes.end(), route) != kRoutes.end();
}

struct Options {
    std::string path;
    std::string child; // --child=ROUTE: replay that route here and print its figures line
    std::vector<std::string> routes = kRoutes;
    std::vector<std::string> preloads;
    std::uint64_t seconds = 60; // per route, its child's reading of the recording included
    bool callgrind = false;     // --instructions=callgrind: counted in a second child of each
};

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument.rfind("--child=", 0) == 0) {
            options.child = argument.substr(8);
        } else if (argument.rfind("--preload=", 0) == 0) {
            options.preloads.push_back(argument.substr(10));
        } else if (argument.rfind("--seconds=", 0) == 0) {
            if (!ParseCount(argument.c_str() + 10, options.seconds) || options.seconds > 86400)
                return false;
        } else if (argument == "--instructions=callgrind") {
            options.callgrind = true;
        } else if (argument.rfind("--routes=", 0) == 0) {
            options.routes.clear();
            std::istringstream list(argument.substr(9));
            for (std::string route; std::getline(list, route, ',');)
                options.routes.push_back(route);
        } else if (argument.rfind("--", 0) == 0 || !options.path.empty()) {
            return false;
        } else {
            options.path = argument;
        }
    }
    return !options.path.empty() &&
           std::all_of(options.routes.begin(), options.routes.end(), Known) &&
           (options.child.empty() || Known(options.child));
}

int Main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(
            stderr,
            "usage: qor-replay [--routes=ROUTE,...] [--preload=LIB]... [--seconds=S]\n"
            "                  [--instructions=callgrind] RECORDING\n"
            "  S: the time limit of each route's child, 1 to 86400 (default 60)\n"
            "  --instructions=callgrind: each route's instructions counted by callgrind, in a\n"
            "    second child (about 50 times slower), where no hardware counter is there\n"
            "  ROUTE: qor-arg4 qor-paged qor-plain qor-tracked qor-cached32 malloc\n"
            "  RECORDING: <prefix>.events, written by QORSysTracer under "
            "QORSysTracerRecord=1\n");
        return kBadInput;
    }
    Recording recording;
    if (const std::string refused = ReadRecording(options.path, recording); !refused.empty()) {
        std::fprintf(stderr, "qor-replay: %s\n", refused.c_str());
        return kBadInput;
    }
    if (!options.child.empty()) {
        // The blocks the program left live stay live, as they did in the program: no exit
        // handler runs over them, where a leak checker would take them for the replay's own.
        const int status = ReplayHere(options.child, recording);
        std::fflush(stdout);
        ::_exit(status);
    }
    PrintRecording(options.path, recording);
    // Each route's child reads the recording itself: the events need not stay resident here too.
    std::vector<MappedVector<Event>>().swap(recording.threads);
    std::vector<Row> rows;
    const auto run = [&](const std::string& route, const std::string& preload) {
        rows.push_back(RunChild(route, preload, options.path, options.seconds));
        if (options.callgrind)
            CountUnderCallgrind(rows.back(), route, preload, options.path, options.seconds);
    };
    for (const std::string& route : options.routes)
        run(route, "");
    for (const std::string& preload : options.preloads)
        run("malloc", preload);
    PrintTable(rows, recording);
    PrintRecommendation(rows);
    return 0;
}

} // namespace

} // namespace qor::replay

int main(int argc, char** argv) { return qor::replay::Main(argc, argv); }
