// The recording and its replay end to end: a scripted program (RecordedProgram.cpp) recorded by
// the tracer loaded by name, then replayed by qor-replay on every route. Its counts must be the
// program's own on every route, a damaged or cut recording must be refused with status 2 and the
// offset named, and without QORSysTracerRecord=1 no recording is written.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Read(const std::string& path) {
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

struct Ran {
    int status = -1; // the exit status, -1 for a death by signal
    std::string out, err;
};

class Replay : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/qor-replay-XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    // Runs `argv` in dir_ with `environment` alone.
    Ran Run(std::vector<std::string> argv, std::vector<std::string> environment = {}) {
        const pid_t pid = fork();
        if (pid == 0) {
            freopen((dir_ + "/out").c_str(), "w", stdout);
            freopen((dir_ + "/err").c_str(), "w", stderr);
            std::vector<char*> args, envp;
            for (std::string& a : argv)
                args.push_back(a.data());
            for (std::string& e : environment)
                envp.push_back(e.data());
            args.push_back(nullptr);
            envp.push_back(nullptr);
            if (chdir(dir_.c_str()) == 0) execve(args[0], args.data(), envp.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, Read(dir_ + "/out"),
                Read(dir_ + "/err")};
    }

    // The program with the tracer loaded by name and `setting` in its environment.
    Ran Traced(const std::string& setting, const std::string& other = "") {
        return Run({QOR_RECORDED_PROGRAM},
                   {"QORSysAllocatorInstrum=QORSysTracer", "LD_LIBRARY_PATH=" QOR_TRACER_DIR,
                    "QORSysTracerOutput=report", setting, other});
    }

    // The program recorded: its own count line ("stream ...").
    std::string Record(const std::string& setting = "") {
        const Ran ran = Traced("QORSysTracerRecord=1", setting);
        EXPECT_EQ(ran.status, 0) << ran.err;
        return ran.out;
    }
    Ran ReplayOf(const std::string& recording, const std::string& routes = "") {
        std::vector<std::string> argv{QOR_REPLAY, recording};
        if (!routes.empty()) argv.push_back("--routes=" + routes);
        return Run(argv);
    }

    std::string dir_;
};

// The line of `text` that starts with `start`, or "".
std::string LineStarting(const std::string& text, const std::string& start) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(start, 0) == 0) return line;
    return "";
}

// A forked child's events, buffered or not, stay out of its parent's recording.
class ReplayRoutes : public Replay, public testing::WithParamInterface<const char*> {};

TEST_P(ReplayRoutes, EveryRouteReplaysTheProgramsEventsAndEndsWithItsLiveSet) {
    std::istringstream stream(Record(GetParam()));
    std::string word, allocations, releases, blocks, bytes, crossed;
    ASSERT_TRUE(stream >> word >> allocations >> releases >> blocks >> bytes >> crossed &&
                word == "stream");
    const Ran ran = ReplayOf(dir_ + "/report.events");
    ASSERT_EQ(ran.status, 0) << ran.err;
    const std::string recorded =
        "2 threads, " + allocations + " allocations, " + releases + " releases (" + crossed +
        " by another thread), live at the end: " + blocks + " blocks, " + bytes + " bytes";
    EXPECT_NE(ran.out.find(recorded), std::string::npos) << ran.out;
    // Each route's row ends with the allocations, releases and live set the replay itself counted.
    const std::string figures = allocations + " " + releases + " " + blocks + "/" + bytes + " B";
    for (const char* route : {"qor-paged", "qor-plain", "qor-tracked", "qor-cached32", "malloc"}) {
        std::istringstream row(LineStarting(ran.out, std::string(route) + " "));
        std::vector<std::string> cells{std::istream_iterator<std::string>(row), {}};
        ASSERT_GE(cells.size(), 4u) << route << "\n" << ran.out;
        const std::size_t n = cells.size();
        EXPECT_EQ(cells[n - 4] + " " + cells[n - 3] + " " + cells[n - 2] + " " + cells[n - 1],
                  figures)
            << route << "\n"
            << ran.out;
    }
    EXPECT_NE(LineStarting(ran.out, "qor-arg4 ").find("n/a: pool argument 4 serves one thread"),
              std::string::npos)
        << ran.out;
    EXPECT_NE(LineStarting(ran.out, "recommended: "), "") << ran.out;
}

INSTANTIATE_TEST_SUITE_P(Recorded, ReplayRoutes, testing::Values("", "QOR_RECORDED_FORK=1"));

TEST_F(Replay, NoRecordingUnlessAskedFor) {
    for (const char* setting : {"QORSysTracerRecord=0", "QORSysTracerRecord=", "QORSysNothing=1"}) {
        const Ran ran = Traced(setting);
        EXPECT_EQ(ran.status, 0) << ran.err;
        EXPECT_TRUE(std::filesystem::exists(dir_ + "/report.json")) << setting;
        EXPECT_FALSE(std::filesystem::exists(dir_ + "/report.events")) << setting;
    }
}

// Releases that the recording lacks, of blocks the live-block table could not hold, are told on
// stderr with their count, since the replay cannot see them missing; a table large enough tells
// nothing.
TEST_F(Replay, ARecordingMissingReleasesSaysSo) {
    const auto recorded = [this](const std::string& capacity) {
        return Run({QOR_RECORDED_PROGRAM},
                   {"QORSysAllocatorInstrum=QORSysTracer", "LD_LIBRARY_PATH=" QOR_TRACER_DIR,
                    "QORSysTracerOutput=report", "QORSysTracerRecord=1", "QOR_RECORDED_MANY=1",
                    capacity});
    };
    const Ran small = recorded("QORSysTracerCapacity=1024");
    ASSERT_EQ(small.status, 0) << small.err;
    const std::string told = "QORSysTracer: the recording lacks ";
    const std::size_t at = small.err.find(told);
    ASSERT_NE(at, std::string::npos) << small.err;
    // 7/8 of 1,024 entries hold 896 blocks: of the 2,000 (and the program's other live ones),
    // at least 1,104 were never in the table, and their releases are the missing ones.
    EXPECT_GE(std::stoull(small.err.substr(at + told.size())), 1104u) << small.err;
    EXPECT_NE(small.err.find("raise QORSysTracerCapacity"), std::string::npos) << small.err;
    const Ran large = recorded("QORSysTracerCapacity=8192");
    ASSERT_EQ(large.status, 0) << large.err;
    EXPECT_EQ(large.err.find(told), std::string::npos) << large.err;
}

// One thread's released slots serve its next allocations, each to one live block only: here a
// block's slot, freed, is handed to the next allocation and must not be handed to the one after
// it too (the second block's release would then free the third's, and the third's again).
TEST_F(Replay, AThreadsReleasedSlotsServeOneLiveBlockEach) {
    // Thread 1; 16 bytes from pool 1, released; 16 bytes twice; the second block released, then
    // the third; the end mark's three allocations and three releases.
    Write(dir_ + "/reuse.events",
          std::string("QOREVT1\n\x07\x41\x01\x06\x40\x40\x0a\x06\x03\x03\x03"));
    const Ran ran = ReplayOf(dir_ + "/reuse.events", "malloc");
    EXPECT_EQ(ran.status, 0) << ran.out << ran.err;
    EXPECT_EQ(ran.out.find("failed"), std::string::npos) << ran.out << ran.err;
    EXPECT_NE(ran.out.find("0/0 B"), std::string::npos) << ran.out; // every block released
}

// A recording written here, word by word in the tracer's format (EventRecording.h).
class Events {
public:
    Events() { Word(1, 3); } // thread 0
    void Allocate(std::uint64_t bytes) {
        Word(bytes, named_ ? 0 : 1);
        if (!named_) Varint(0); // the pool's record number, once
        named_ = true;
        ++allocations_;
    }
    // The block allocated `back` allocations ago.
    void Release(std::uint64_t back) {
        Word(back, 2);
        ++releases_;
    }
    std::string Finished() {
        Word(0, 3);
        Varint(allocations_ & 0xFFFFFFFF);
        Varint(releases_ & 0xFFFFFFFF);
        return "QOREVT1\n" + bytes_;
    }

private:
    void Word(std::uint64_t value, unsigned kind) { Varint(value << 2 | kind); }
    void Varint(std::uint64_t value) {
        for (; value >= 0x80; value >>= 7)
            bytes_ += static_cast<char>(value | 0x80);
        bytes_ += static_cast<char>(value);
    }
    std::string bytes_;
    std::uint64_t allocations_ = 0, releases_ = 0;
    bool named_ = false;
};

// The cells of `route`'s row in a replay's table.
std::vector<std::string> RowOf(const std::string& table, const std::string& route) {
    std::istringstream row(LineStarting(table, route + " "));
    return {std::istream_iterator<std::string>(row), {}};
}

// A program that ended without allocating has a recording of no thread; each route replays it as
// nothing, and its loop and route times are both there.
TEST_F(Replay, ARecordingWithNoEventsReplaysAsNothing) {
    Write(dir_ + "/empty.events", std::string("QOREVT1\n\x03\x00\x00", 11));
    const Ran ran = ReplayOf(dir_ + "/empty.events", "qor-arg4,malloc");
    ASSERT_EQ(ran.status, 0) << ran.err;
    for (const char* route : {"qor-arg4", "malloc"}) {
        const std::vector<std::string> cells = RowOf(ran.out, route);
        ASSERT_EQ(cells.size(), 11u) << ran.out;
        EXPECT_EQ(cells[7] + " " + cells[8] + " " + cells[9] + " " + cells[10], "0 0 0/0 B")
            << ran.out;
    }
}

// The peak resident of a route is what that route made resident: reading a long recording frees
// tens of megabytes on the way, and were that memory malloc's, the route's blocks would be served
// from it, resident already, and the route would look as if it needed almost nothing.
TEST_F(Replay, APeakResidentIsTheRoutesOwnNotTheReadingsLeftovers) {
    Events events;
    for (int i = 0; i < 600000; ++i) { // a churn of one 64-byte block: a long recording
        events.Allocate(64);
        events.Release(1);
    }
    constexpr int kBlocks = 4096; // then 16 MiB live at once, in 4 KiB blocks
    for (int i = 0; i < kBlocks; ++i)
        events.Allocate(4096);
    for (int i = 0; i < kBlocks; ++i)
        events.Release(kBlocks - i);
    Write(dir_ + "/big.events", events.Finished());
    const Ran ran = ReplayOf(dir_ + "/big.events", "malloc,qor-plain,qor-cached32");
    ASSERT_EQ(ran.status, 0) << ran.err;
    EXPECT_NE(ran.out.find("peak requested 16.0 MiB"), std::string::npos) << ran.out;
    for (const char* route : {"malloc", "qor-plain", "qor-cached32"}) {
        const std::vector<std::string> cells = RowOf(ran.out, route);
        ASSERT_EQ(cells.size(), 11u) << ran.out;
        // "of requested": the resident growth over the live bytes requested at the peak; each
        // block is written at its first and last byte, so both of its pages are resident.
        EXPECT_GE(std::stod(cells[6]), 95) << route << "\n" << ran.out;
        EXPECT_EQ(cells[9], "0/0") << ran.out;
    }
}

// Where no hardware counter is there, callgrind counts each route: the column holds the route's
// own instructions, the replay's loop and the reading of the recording left out, so that a pair
// of malloc and free weighs what glibc's take, not the whole process.
TEST_F(Replay, CallgrindCountsEachRoutesOwnInstructions) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "valgrind does not run a sanitizer's build";
#endif
    if (std::system("valgrind --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "no valgrind";
    Events events;
    constexpr int kPairs = 20000;
    for (int i = 0; i < kPairs; ++i) {
        events.Allocate(64 + i % 7 * 8);
        events.Release(1);
    }
    Write(dir_ + "/pairs.events", events.Finished());
    const Ran ran = Run({QOR_REPLAY, "--routes=malloc,qor-plain", "--instructions=callgrind",
                         dir_ + "/pairs.events"},
                        {"PATH=/usr/bin:/bin"});
    ASSERT_EQ(ran.status, 0) << ran.err;
    for (const char* route : {"malloc", "qor-plain"}) {
        const std::vector<std::string> cells = RowOf(ran.out, route);
        ASSERT_EQ(cells.size(), 11u) << ran.out;
        ASSERT_TRUE(std::all_of(cells[3].begin(), cells[3].end(), ::isdigit)) << ran.out;
        const double perPair = std::stod(cells[3]) / kPairs;
        EXPECT_GT(perPair, 20) << route << "\n" << ran.out;
        EXPECT_LT(perPair, 1000) << route << "\n" << ran.out;
    }
}

// A recording cut anywhere, or with any of the writer's numbers out of its range, is refused with
// the reason and the offset, never replayed as another stream.
TEST_F(Replay, RefusesCutAndDamagedRecordings) {
    Record();
    const std::string good = Read(dir_ + "/report.events");
    ASSERT_GT(good.size(), 16u);
    const std::string magic = "QOREVT1\n";
    const struct {
        std::string bytes, reason;
    } cases[] = {
        {"", "not a recording"},
        {"QOREVT2\n\x07", "not a recording"},
        {good.substr(0, good.size() - 1), "a cut end mark"},
        {good.substr(0, good.size() / 2), "offset"},
        {good + "\x03", "bytes after the end mark"},
        {magic, "no end mark"},
        {magic + "\x05\x02", "an event before any thread is named"},
        {magic + "\x07\x08", "an allocation from a pool never named"},
        {magic + "\x07\x06", "a release of a block never allocated"},
        {magic + "\x07\x21\x01\x06\x06", "a second release of one block"},
        {magic + "\x07\x21\x01\x03\x02\x05", "counts at the end that differ"},
        {magic + "\x07\xff\xff\xff\xff\xff\xff\xff\xff\xff\x7f", "longer than 64 bits"},
        {magic + "\xff\xff\x01", "a thread number past"},
        {magic + "\x07\x81\x80\x80\x80\x80\x80\x80\x80\x01\x01", "more bytes than any"},
    };
    for (const auto& c : cases) {
        Write(dir_ + "/bad.events", c.bytes);
        const Ran ran = ReplayOf(dir_ + "/bad.events", "malloc");
        EXPECT_EQ(ran.status, 2) << c.reason << "\n" << ran.out << ran.err;
        EXPECT_NE(ran.err.find("qor-replay: "), std::string::npos) << ran.err;
        EXPECT_NE(ran.err.find(c.reason), std::string::npos) << c.reason << "\n" << ran.err;
        EXPECT_EQ(ran.out, "") << c.reason;
    }
    Write(dir_ + "/good.events", good);
    EXPECT_EQ(ReplayOf(dir_ + "/good.events", "malloc").status, 0);
    for (const std::string& unreadable : {dir_ + "/none.events", dir_}) {
        const Ran ran = ReplayOf(unreadable, "malloc");
        EXPECT_EQ(ran.status, 2) << unreadable;
        EXPECT_NE(ran.err.find("cannot be read"), std::string::npos) << ran.err;
    }
    EXPECT_EQ(ReplayOf(dir_ + "/good.events", "qor-nothing,malloc").status, 2);
    for (const char* limit : {"--seconds=0", "--seconds=1.5", "--seconds=86401", "--seconds="})
        EXPECT_EQ(Run({QOR_REPLAY, limit, dir_ + "/good.events"}).status, 2) << limit;
}

} // namespace
