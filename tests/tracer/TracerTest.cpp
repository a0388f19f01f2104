// The tracer loaded by name into a program built without it (TracedProgram.cpp): its report must
// name each overrun with its block, size and pool, group the leaks by pool and size, count per
// pool, and list the foreign pointer, in JSON and in text alike.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

std::string Read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

std::size_t Count(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

// The line of `text` that holds `needle`, or "".
std::string LineOf(const std::string& text, const std::string& needle) {
    const auto at = text.find(needle);
    if (at == std::string::npos) return "";
    const auto start = text.rfind('\n', at) + 1; // npos + 1 == 0
    return text.substr(start, text.find('\n', at) - start);
}

// How the traced program is to end: the status it exits with, or the signal it dies of.
struct End {
    int status = 0;
    int signal = 0;
};

class Tracer : public testing::Test {
protected:
    // Runs the program in a fresh directory with the hook library `hooks` (the tracer) named and
    // `extra` in its environment; its output goes to dir/out and dir/err. Returns the program's
    // pid.
    pid_t Run(std::vector<std::string> extra, End end = {},
              const std::string& hooks = "QORSysTracer") {
        if (!dir_.empty()) std::filesystem::remove_all(dir_);
        char pattern[] = "/tmp/qor-tracer-XXXXXX";
        dir_ = mkdtemp(pattern);
        extra.insert(extra.end(),
                     {"QORSysAllocatorInstrum=" + hooks, "LD_LIBRARY_PATH=" QOR_TRACER_DIR});
        for (char** variable = environ; *variable != nullptr; ++variable)
            if (std::string(*variable).rfind("QORSys", 0) &&
                std::string(*variable).rfind("LD_L", 0))
                extra.push_back(*variable);
        std::vector<char*> envp;
        for (std::string& variable : extra)
            envp.push_back(variable.data());
        envp.push_back(nullptr);
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT, 0600), 1);
            dup2(open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT, 0600), 2);
            char* argv[] = {const_cast<char*>(QOR_TRACED_PROGRAM), nullptr};
            if (chdir(dir_.c_str()) == 0) execve(argv[0], argv, envp.data());
            _exit(127);
        }
        int status = -1;
        waitpid(pid, &status, 0);
        if (end.signal == 0)
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == end.status)
                << status << "\n"
                << Read(dir_ + "/err");
        else
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == end.signal)
                << Read(dir_ + "/err");
        std::istringstream printed(Read(dir_ + "/out"));
        for (std::string name, address; printed >> name >> address;)
            at_['@' + name] = address;
        json_ = Read(dir_ + "/report.json");
        text_ = Read(dir_ + "/report.txt");
        return pid;
    }

    // Expects `needle`, each @name in it replaced by the address that the program printed for
    // name, exactly once in `text`.
    void Once(const std::string& text, std::string needle) {
        for (const auto& [name, address] : at_)
            for (auto at = needle.find(name); at != std::string::npos; at = needle.find(name))
                needle.replace(at, name.size(), address);
        EXPECT_EQ(Count(text, needle), 1u) << needle << "\nin:\n" << text;
    }

    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::string dir_, json_, text_;
    std::map<std::string, std::string> at_;
};

TEST_F(Tracer, ReportsEachOverrunWithItsBlockSizeAndPoolAndTheForeignPointer) {
    Run({"QORSysTracerOutput=report"});
    // The paged overrun fills its own slot's tail and reaches the next slot's front guard.
    Once(json_, R"({"block": "@above", "size": 36, "pool": "Pages", "areas": ["front guard"], )"
                R"("found": "release", "below": "@below", "belowSize": 36, "stack": )");
    Once(json_, R"({"block": "@small", "size": 13, "pool": "Scratch", )"
                R"("areas": ["bytes past the end"], "found": "release", "stack": )");
    Once(json_, R"({"block": "@below", "size": 36, "pool": "Pages", )"
                R"("areas": ["bytes past the end"], "found": "exit", "stack": )");
    EXPECT_EQ(Count(json_, R"({"block": )"), 3u) << "nothing else is damaged";
    // Each damaged block names the program's own frame that asked for it.
    const std::regex damaged(
        R"("found": "[a-z]+", (?:"below": "0x[0-9a-f]+", "belowSize": 36, )?"stack": ([0-9]+))");
    for (std::sregex_iterator at(json_.begin(), json_.end(), damaged), end; at != end; ++at)
        Once(json_, "{\"id\": " + (*at)[1].str() + ", \"pool\": ");
    EXPECT_NE(json_.find(R"(", "module": ")" QOR_TRACED_PROGRAM R"(", )"), std::string::npos);
    // A stack is kept per pool: each leak's stack names the leak's pool.
    const std::regex leak(R"(\{"stack": ([0-9]+), "pool": ([0-9]+), )");
    int leaks = 0;
    for (std::sregex_iterator at(json_.begin(), json_.end(), leak), end; at != end; ++at, ++leaks)
        Once(json_, "{\"id\": " + (*at)[1].str() + ", \"pool\": " + (*at)[2].str() + ", ");
    EXPECT_GT(leaks, 1);
    Once(json_, R"({"pointer": "@foreign", "reason": "released, but not a block of the )"
                R"(library", "pool": "no pool"})");
    EXPECT_EQ(Count(json_, "\"reason\""), 1u)
        << "the release's header lookup is not a second finding";
    const std::string line = "@above (36 bytes, pool Pages): front guard overwritten; found at "
                             "release; block below: @below (36 bytes)\n";
    Once(text_, "  " + line);
    Once(text_, "  @small (13 bytes, pool Scratch): bytes past the end overwritten; found at "
                "release\n");
    Once(text_, "  @foreign: released, but not a block of the library\n");
    const std::string err = Read(dir_ + "/err");
    Once(err, "QORSysTracer: " + line); // told at once, too
    EXPECT_EQ(err.substr(err.size() - std::min(err.size(), text_.size())), text_);
}

TEST_F(Tracer, CountsPerPoolAndGroupsLeaksBySize) {
    Run({"QORSysTracerOutput=report"});
    const std::pair<const char*, const char*> expected[] = {
        {R"("name": "Pages",)",
         R"("allocations": 2, "releases": 1, "failures": 1, )"
         R"("invalidPointers": 0, "liveBlocks": 1, "liveBytes": 36, "peakBytes": 72,)"},
        {R"("name": "Scratch",)",
         R"("allocations": 5, "releases": 1, "failures": 0, )"
         R"("invalidPointers": 0, "liveBlocks": 4, "liveBytes": 112, "peakBytes": 125,)"},
        {R"("name": "Flushed",)",
         R"("liveBlocks": 0, "liveBytes": 0, "peakBytes": 64, "chunksAdded": 0, )"
         R"("flushes": 1, "endedByFlush": 1, "destroyed": true})"},
        {R"("name": "heap, argument 0",)", R"("allocations": 1, "releases": 1, "failures": 0,)"},
        {R"({"pool": "Scratch", "size": 24,)", R"("count": 3, "bytes": 72,)"},
        {R"({"pool": "Scratch", "size": 40,)", R"("count": 1, "bytes": 40,)"},
        {R"({"pool": "Pages", "size": 36,)", R"("count": 1, "bytes": 36, "first": "@below"})"}};
    for (const auto& [key, values] : expected)
        Once(LineOf(json_, key), values);
    EXPECT_EQ(Count(json_, R"({"pool": ")"), 3u) << "three groups; the flushed block is no leak";
    Once(text_, "  Scratch: 3 x 24 bytes (first at ");
    Once(text_,
         "  Pages: allocations 2, releases 1, failures 1, invalid pointers 0, live blocks 1, "
         "live bytes 36, peak bytes 72\n");
}

// Regression: a pool destroyed by FLUSH_DESTROY_IF_EMPTY, or a paged pool by FLUSH_DESTROY, was
// reported as not destroyed; a pool that the flush left alone must not be.
// The rows [stack id, bytes, count] of the list `key` of "sites", by stack id.
std::map<int, std::pair<long, long>> SiteRows(const std::string& json, const std::string& key) {
    std::map<int, std::pair<long, long>> rows;
    const std::string sites = LineOf(json, "\"sites\": {");
    const auto start = sites.find("\"" + key + "\": [");
    if (start == std::string::npos) return rows;
    const std::string list = sites.substr(start, sites.find("]]", start) + 2 - start);
    const std::regex row(R"(\[(\d+), (\d+), (\d+)\])");
    for (std::sregex_iterator at(list.begin(), list.end(), row), end; at != end; ++at)
        rows[std::stoi((*at)[1])] = {std::stol((*at)[2]), std::stol((*at)[3])};
    return rows;
}

// The id of the one stack that made `count` allocations, or 0.
int StackWithAllocations(const std::map<int, std::pair<long, long>>& allocations, long count) {
    int found = 0;
    for (const auto& [id, row] : allocations)
        if (row.second == count) found = found == 0 ? id : -1;
    return found > 0 ? found : 0;
}

// 7 blocks of 40 bytes released at once from one site, 5 of 56 bytes from another, each followed
// by one of the first site's before its own release at the end. One frame a stack: the program's
// loop may be unrolled, its two functions are not.
TEST_F(Tracer, CountsTheTemporaryAllocationsOfEachCallSite) {
    Run({"QORSysTracerOutput=report", "QORSysTracerStackDepth=1", "QOR_TRACED_TEMPORARY=1"});
    const auto allocations = SiteRows(json_, "allocations");
    const int churn = StackWithAllocations(allocations, 7);
    const int kept = StackWithAllocations(allocations, 5);
    ASSERT_NE(churn, 0) << json_;
    ASSERT_NE(kept, 0) << json_;
    EXPECT_EQ(allocations.at(churn).first, 7 * 40);
    const auto temporary = SiteRows(json_, "temporary");
    EXPECT_EQ(temporary.size(), 1u) << "only the churning site: " << LineOf(json_, "\"sites\"");
    ASSERT_TRUE(temporary.count(churn)) << LineOf(json_, "\"sites\"");
    EXPECT_EQ(temporary.at(churn), std::make_pair(7L * 40, 7L));
    EXPECT_FALSE(temporary.count(kept)) << "released after another allocation: not temporary";
    Once(json_, R"("temporary": {"allocations": 7, "bytes": 280})");
}

TEST_F(Tracer, MarksThePoolsThatFlushesDestroyed) {
    Run({"QORSysTracerOutput=report"});
    for (const char* name : {"EmptyDestroyed", "PagedDestroyed"})
        Once(LineOf(json_, std::string("\"name\": \"") + name), "\"destroyed\": true}");
    Once(LineOf(json_, "\"name\": \"KeptNotEmpty"),
         R"("releases": 1, "failures": 0, "invalidPointers": 0, "liveBlocks": 0, )");
    Once(LineOf(json_, "\"name\": \"KeptNotEmpty"), "\"destroyed\": false}");
    Once(LineOf(text_, "  EmptyDestroyed: "), ", destroyed");
}

// A fault or an abort still leaves the report: what was recorded up to it, and the signal.
class TracerAtFatalSignal : public Tracer, public testing::WithParamInterface<int> {};
INSTANTIATE_TEST_SUITE_P(, TracerAtFatalSignal, testing::Values(SIGSEGV, SIGABRT),
                         [](const auto& info) { return info.param == SIGSEGV ? "Segv" : "Abort"; });

TEST_P(TracerAtFatalSignal, WritesWhatItHas) {
    const int signal = GetParam();
#if defined(__SANITIZE_ADDRESS__)
    if (signal == SIGSEGV) GTEST_SKIP() << "AddressSanitizer's own handler reports the fault";
#endif
    Run({"QORSysTracerOutput=report", "QORSysTracerExitCode=23",
         signal == SIGSEGV ? "QOR_TRACED_END=segv" : "QOR_TRACED_END=abort"},
        {.signal = signal});
    Once(json_, "\"fatalSignal\": " + std::to_string(signal) + ",");
    Once(text_, "Written at fatal signal " + std::to_string(signal) + ": ");
    Once(LineOf(json_, R"("name": "Scratch",)"), R"("allocations": 5, "releases": 1,)");
    Once(json_, R"({"block": "@above", "size": 36, "pool": "Pages", "areas": ["front guard"], )");
    Once(json_, R"({"pool": "Scratch", "size": 24, "count": 3, "bytes": 72,)");
    EXPECT_EQ(json_.substr(json_.size() - 2), "}\n") << "the JSON is whole";
}

// QORSysTracerExitCode: the status of a process whose exit report found leaks or damage (and
// only then); a process that dies of a signal keeps its signal (above).
TEST_F(Tracer, ExitsWithTheStatusAskedForWhenItFindsLeaksOrDamage) {
    Run({"QORSysTracerOutput=report", "QORSysTracerExitCode=23"}, {.status = 23});
    Once(text_, "Exit status: 23 (QORSysTracerExitCode), for the leaks or damaged blocks above\n");
    Once(Read(dir_ + "/out"), "foreign "); // the program's own output was flushed first
    Run({"QORSysTracerOutput=report", "QORSysTracerExitCode=23", "QOR_TRACED_SOUND=1"});
    EXPECT_EQ(Count(text_, "Exit status"), 0u);
    Run({"QORSysTracerOutput=report", "QORSysTracerExitCode=0x17"}); // not a status: ignored
}

// A hook library that does not load leaves the program untraced and, in checked mode, says why on
// stderr, once; without checked mode it says nothing.
TEST_F(Tracer, AHookLibraryThatDoesNotLoadIsNamedInCheckedMode) {
    const std::string line = "QORSysAllocatorInstrum: cannot load the hook library "
                             "QORNoSuchHooks.dll, its hooks are off: QORNoSuchHooks.so: cannot "
                             "open shared object file: No such file or directory\n";
    Run({"QOR_TRACED_SOUND=1", "QORSysAllocatorChecks=ON"}, {}, "QORNoSuchHooks");
    EXPECT_EQ(Read(dir_ + "/err"), line);
    Run({"QOR_TRACED_SOUND=1"}, {}, "QORNoSuchHooks");
    EXPECT_EQ(Read(dir_ + "/err"), "");
}

TEST_F(Tracer, WritesUnderItsPidByDefault) {
    const std::string pid = std::to_string(Run({}));
    Once(Read(dir_ + "/qor-trace-" + pid + ".json"), "\"pid\": " + pid + ",");
}

// A prefix that ends in '/' is a directory for a run of many processes (a wrapper's): each writes
// <pid>, says which program it is and whose child; a program that closed stdout and stderr before
// the report still gets its text out of its JSON.
TEST_F(Tracer, WritesEachProcessUnderItsPidInADirectoryPrefix) {
    const std::string pid =
        std::to_string(Run({"QORSysTracerOutput=./", "QOR_TRACED_SOUND=1", "QOR_TRACED_CLOSED=1"}));
    EXPECT_EQ(Read(dir_ + "/" + pid + ".json")
                  .rfind("{\"tool\": \"QORSysTracer\", \"pid\": " + pid +
                             ", \"parentPid\": " + std::to_string(getpid()) +
                             ", \"command\": \"" QOR_TRACED_PROGRAM "\",",
                         0),
              0u);
    EXPECT_EQ(Read(dir_ + "/" + pid + ".txt").rfind("QORSysTracer report for process " + pid, 0),
              0u);
}

// The directories a prefix names are made; a report that cannot be written says so, and the text
// report then names no JSON file.
TEST_F(Tracer, MakesThePrefixesDirectoriesAndNamesOnlyAReportItWrote) {
    const std::string pid =
        std::to_string(Run({"QORSysTracerOutput=runs/first/", "QOR_TRACED_SOUND=1"}));
    EXPECT_NE(Read(dir_ + "/runs/first/" + pid + ".json").find("\"pid\": " + pid),
              std::string::npos);
    EXPECT_NE(Read(dir_ + "/err").find("JSON report: runs/first/" + pid + ".json"),
              std::string::npos);
    Run({"QORSysTracerOutput=/proc/self/no-such/report", "QOR_TRACED_SOUND=1"});
    const std::string err = Read(dir_ + "/err");
    EXPECT_NE(err.find("QORSysTracer: cannot write /proc/self/no-such/report.json: error "),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("QORSysTracer report for process"), std::string::npos) << err;
    EXPECT_EQ(err.find("JSON report:"), std::string::npos) << err;
}

} // namespace
