// The recording and its replay end to end: a scripted program (RecordedProgram.cpp) recorded by
// the tracer loaded by name, then replayed by qor-replay on every route. Its counts must be the
// program's own on every route, a damaged or cut recording must be refused with status 2 and the
// offset named, and without QORSysTracerRecord=1 no recording is written.
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
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

    // Runs `argv` in dir_ with `environment` added to the tracer's loading by name.
    Ran Run(std::vector<std::string> argv, std::vector<std::string> environment = {}) {
        environment.insert(environment.end(),
                           {"QORSysAllocatorInstrum=QORSysTracer",
                            "LD_LIBRARY_PATH=" QOR_TRACER_DIR, "QORSysTracerOutput=report"});
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

    // The program recorded: its own count line ("stream ...").
    std::string Record() {
        const Ran ran = Run({QOR_RECORDED_PROGRAM}, {"QORSysTracerRecord=1"});
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

TEST_F(Replay, EveryRouteReplaysTheProgramsEventsAndEndsWithItsLiveSet) {
    std::smatch count;
    const std::string stream = Record();
    ASSERT_TRUE(
        std::regex_search(stream, count, std::regex("stream (\\d+) (\\d+) (\\d+) (\\d+) (\\d+)")))
        << stream;
    const Ran ran = ReplayOf(dir_ + "/report.events");
    ASSERT_EQ(ran.status, 0) << ran.err;
    const std::string recorded = "2 threads, " + count[1].str() + " allocations, " +
                                 count[2].str() + " releases (" + count[5].str() +
                                 " by another thread), live at the end: " + count[3].str() +
                                 " blocks, " + count[4].str() + " bytes";
    EXPECT_NE(ran.out.find(recorded), std::string::npos) << ran.out;
    // Each route's row: allocations, releases and the live set as the replay itself counted them.
    const std::string figures = " +" + count[1].str() + " +" + count[2].str() + " +" +
                                count[3].str() + "/" + count[4].str() + " B\n";
    for (const char* route : {"qor-paged", "qor-plain", "qor-tracked", "qor-cached32", "malloc"})
        EXPECT_TRUE(
            std::regex_search(ran.out, std::regex(std::string("\n") + route + " .*" + figures)))
            << route << "\n"
            << ran.out;
    EXPECT_NE(ran.out.find("qor-arg4 "), std::string::npos);
    EXPECT_NE(ran.out.find("n/a: pool argument 4 serves one thread"), std::string::npos);
    EXPECT_NE(ran.out.find("\nrecommended: "), std::string::npos) << ran.out;
}

TEST_F(Replay, NoRecordingUnlessAskedFor) {
    for (const char* setting : {"QORSysTracerRecord=0", "QORSysTracerRecord=", "QORSysNothing=1"}) {
        const Ran ran = Run({QOR_RECORDED_PROGRAM}, {setting});
        EXPECT_EQ(ran.status, 0) << ran.err;
        EXPECT_TRUE(std::filesystem::exists(dir_ + "/report.json")) << setting;
        EXPECT_FALSE(std::filesystem::exists(dir_ + "/report.events")) << setting;
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
    EXPECT_EQ(ReplayOf(dir_ + "/none.events", "malloc").status, 2);
    EXPECT_EQ(ReplayOf(dir_ + "/good.events", "qor-nothing,malloc").status, 2);
}

} // namespace
