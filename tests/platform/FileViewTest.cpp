// Reads through a file's view: the same bytes and answers as the calls, with no call where the
// file is known to reach past them, and a file cut short under its view read as the calls read
// it, with the faults on its lost pages caught only inside a view read.
#include "platform/Platform.h"
#include "platform/Sanitizers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace qor::platform {
namespace {

constexpr std::size_t kFileBytes = 10 * 4096 + 100;

// A file of kFileBytes patterned bytes and its view, longer than the file as a swap file's is.
struct ViewedFile {
    ViewedFile() {
        std::snprintf(path, sizeof path, "/tmp/qor-view-%d", static_cast<int>(getpid()));
        file = CreatePrivateFile(path);
        std::vector<char> bytes(kFileBytes);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 7 + i / 4096);
        EXPECT_TRUE(WriteAt(file, 0, bytes.data(), bytes.size()));
        view = MapFile(file, 16 * 4096);
        EXPECT_NE(view.bytes, nullptr);
    }
    ~ViewedFile() {
        UnmapFile(view);
        CloseFile(file);
        std::remove(path);
    }
    // Reads [offset, offset + length) in two pieces, through the view or with the calls;
    // answers the read's answer followed by the bytes.
    std::string Read(std::uint64_t offset, std::size_t length, bool throughView) const {
        std::string bytes(length, '?');
        const IoPiece pieces[2] = {{bytes.data(), length / 3},
                                   {bytes.data() + length / 3, length - length / 3}};
        const long got = throughView ? ReadAt(file, view, kFileBytes, offset, pieces, 2)
                                     : ReadAt(file, offset, pieces, 2);
        return std::to_string(got) + ":" + bytes;
    }
    char path[64];
    std::FILE* file;
    FileView view;
};

// Halves every transfer, so that the calls ask many times where a view read asks once.
int gQuestions = 0;
long Halving(bool, std::size_t bytes) { return ++gQuestions, static_cast<long>((bytes + 1) / 2); }
long Failing(bool, std::size_t) { return -1; }

struct Case {
    std::uint64_t offset;
    std::size_t length;
    bool served; // by the view alone
};
// Within the file, across pages, up to the end of the page before the file's last one, and into
// that last one: the file may end inside the page read, so the calls read it.
constexpr Case kCases[] = {{0, 4096, true},      {100, 9000, true},   {8, 32760, true},
                           {36864, 100, true},   {36000, 4096, true}, {40000, 1000, false},
                           {44000, 4096, false}, {80000, 16, false}};

TEST(FileView, ReadsGiveTheCallsBytesAndAnswersAndSkipTheCallsWithinTheFile) {
    ViewedFile f;
    SetIoFaultFilter(&Halving);
    for (const Case& c : kCases) {
        gQuestions = 0;
        const std::string viewed = f.Read(c.offset, c.length, true);
        const int viewQuestions = gQuestions;
        EXPECT_EQ(viewed, f.Read(c.offset, c.length, false)) << c.offset << "+" << c.length;
        // Past the file's end the calls, too, ask once: they find nothing there.
        if (c.offset < kFileBytes) {
            EXPECT_EQ(viewQuestions == 1, c.served) << c.offset << "+" << c.length;
        }
    }
    SetIoFaultFilter(nullptr);
}

TEST(FileView, AFailedReadAnswersMinusOneAndZerosLikeTheCalls) {
    ViewedFile f;
    SetIoFaultFilter(&Failing);
    const std::string failed = "-1:" + std::string(5000, '\0');
    EXPECT_EQ(f.Read(100, 5000, true), failed);
    EXPECT_EQ(f.Read(100, 5000, false), failed);
    SetIoFaultFilter(nullptr);
}

// Cut inside a page and then grown back: the reads that reach the lost pages fault in the view
// and are read with the calls, short where the file ends now.
TEST(FileView, AFileCutUnderItsViewIsReadAsTheCallsReadIt) {
    ViewedFile f;
    ASSERT_EQ(::truncate(f.path, 20000), 0);
    for (const Case& c : kCases)
        EXPECT_EQ(f.Read(c.offset, c.length, true), f.Read(c.offset, c.length, false))
            << c.offset << "+" << c.length;
    EXPECT_EQ(f.Read(16000, 4096, true).substr(0, 5), "4000:");
    EXPECT_EQ(f.Read(24576, 4096, true), "0:" + std::string(4096, '\0'));
    const std::string zeros(kFileBytes, '\0');
    ASSERT_TRUE(WriteAt(f.file, 0, zeros.data(), zeros.size()));
    EXPECT_EQ(f.Read(24576, 4096, true), "4096:" + std::string(4096, '\0'));
}

// The faults that are not a view read's keep the action they had: the default one ends the
// process; a handler installed before the first view still gets them.
TEST(FileViewDeathTest, AFaultOutsideAViewReadKeepsItsAction) {
    const auto touchLostPage = [] {
        ViewedFile f;
        if (::truncate(f.path, 4096) != 0) std::_Exit(3);
        f.Read(8192, 64, true); // caught: the handler is in place
        static_cast<void>(*static_cast<const volatile char*>(f.view.bytes + 8192));
        std::_Exit(0);
    };
#if defined(QOR_ASAN_CHECKED) // the sanitizer's handler came first: it reports the fault
    EXPECT_EXIT(touchLostPage(), ::testing::ExitedWithCode(1), "AddressSanitizer: BUS");
#else
    EXPECT_EXIT(touchLostPage(), ::testing::KilledBySignal(SIGBUS), "");
#endif
    EXPECT_EXIT((std::signal(SIGBUS, [](int) { std::_Exit(42); }), touchLostPage()),
                ::testing::ExitedWithCode(42), "");
}

} // namespace
} // namespace qor::platform
