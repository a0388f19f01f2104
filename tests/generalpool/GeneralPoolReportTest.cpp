// The general pool's report: whole texts with addresses masked, the address format itself, and
// the statistics record.
#include "GeneralPoolTestSupport.h"

#include <functional>
#include <regex>
#include <tuple>

using namespace qor;
using namespace qor::test;

namespace {

// What `print` writes to a stream, as text.
std::string Capture(const std::function<void(FILE*)>& print) {
    char* text = nullptr;
    std::size_t length = 0;
    FILE* stream = open_memstream(&text, &length);
    print(stream);
    std::fclose(stream);
    std::string result(text, length);
    std::free(text);
    return result;
}

// Every address printed as "0x" and 16 upper-case hexadecimal digits becomes "0x<ADDR>".
std::string MaskAddresses(const std::string& text) {
    static const std::regex address("0x[0-9A-F]{16}");
    return std::regex_replace(text, address, "0x<ADDR>");
}

std::string AddressText(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016lX", static_cast<unsigned long>(Addr(p)));
    return text;
}

std::string ReportText(GeneralPool* pool, int options) {
    return Capture([&](FILE* stream) { pool->Report(stream, nullptr, options); });
}

// The chunk list and labelled block of a pool of one empty 32 KB chunk.
std::string FreshPoolText(const std::string& sts, const std::string& flagsLine) {
    return "\n[MEMORY POOL 0x<ADDR> / SUBPOOL LIST]\n"
           "  subPool=0x<ADDR> ; sts=" +
           sts +
           " ; size=32768  ; free=32656 ; occupation=0.3 % ; blocks=1 ; holes=1(32656)\n"
           "\n[MEMORY POOL 0x<ADDR>]\n"
           "Flags                 = " +
           flagsLine +
           "\n"
           "Total size            = 32768 \n"
           "Manage size           = 112 \n"
           "Free  size            = 32656 \n"
           "Occupied size         = 0 \n"
           "Percentage occupation = 0.3%\n"
           "Nb of sub pools       = 1 \n"
           "Max free size in a sp = 32656\n"
           "Min free size in a sp = 32656\n"
           "Min sp percentage occ = 0.3%\n"
           "Max sp percentage occ = 0.3%\n";
}

struct FlagsCase {
    std::uint32_t flags;
    const char* sts;
    const char* flagsLine;
};
void PrintTo(const FlagsCase& c, std::ostream* os) { *os << "flags " << std::hex << c.flags; }
class GeneralPoolReportFlags : public testing::TestWithParam<FlagsCase> {};

TEST_P(GeneralPoolReportFlags, FreshPoolChunkListAndBlock) {
    const auto [flags, sts, flagsLine] = GetParam();
    PoolHandle pool(32768, flags);
    EXPECT_EQ(MaskAddresses(ReportText(pool.get(), Flag::REPORT_CHUNK_LIST)),
              FreshPoolText(sts, flagsLine));
}
INSTANTIATE_TEST_SUITE_P(
    Flags, GeneralPoolReportFlags,
    testing::Values(FlagsCase{0, "0x11", "0x0"},
                    FlagsCase{0xC0, "0xd1", "0xc0  ( VOLATILE SINGLE_SIZE )"},
                    FlagsCase{0x120, "0x131", "0x120  ( FLUSHABLE CONSTANT_SUBPOOL_SIZE )"},
                    FlagsCase{0x200, "0x211", "0x200"},
                    FlagsCase{0x1E0, "0x1f1",
                              "0x1e0  ( VOLATILE FLUSHABLE SINGLE_SIZE CONSTANT_SUBPOOL_SIZE )"},
                    FlagsCase{Flag::TRACKED_FREE_LIST | Flag::LOCKED, "0x19", "0x0"}));

TEST(GeneralPoolReport, AddressesAreSixteenUpperCaseDigitsAfterOneZeroX) {
    PoolHandle pool;
    const std::string text = ReportText(pool.get(), Flag::REPORT_CHUNK_LIST);
    const std::string address = AddressText(pool.get());
    EXPECT_NE(text.find("[MEMORY POOL " + address + " / SUBPOOL LIST]"), std::string::npos);
    EXPECT_NE(text.find("subPool=" + address + " ;"), std::string::npos);
    EXPECT_NE(text.find("[MEMORY POOL " + address + "]"), std::string::npos);
    EXPECT_EQ(ReportText(pool.get(), Flag::REPORT_ONE_LINE).rfind("POOL:" + address + " fg=", 0),
              0u);
    EXPECT_EQ(text.find("0x0x"), std::string::npos);
    EXPECT_EQ(address.substr(0, 6), "0x0000") << "user-space addresses show their zero padding";
}

TEST(GeneralPoolReport, TwoEmptyChunks) {
    PoolHandle pool;
    void* first = pool->Allocate(32640, 0);
    void* second = pool->Allocate(0, 0); // adds a 65536-byte chunk
    pool->Free(first, nullptr);
    pool->Free(second, nullptr);
    EXPECT_EQ(MaskAddresses(ReportText(pool.get(), Flag::REPORT_CHUNK_LIST)),
              "\n[MEMORY POOL 0x<ADDR> / SUBPOOL LIST]\n"
              "  subPool=0x<ADDR> ; sts=0x11 ; size=32768  ; free=32656 ; occupation=0.3 % ; "
              "blocks=1 ; holes=1(32656)\n"
              "  subPool=0x<ADDR> ; sts=0x1 ; size=65536  ; free=65472 ; occupation=0.1 % ; "
              "blocks=1 ; holes=1(65472)\n"
              "\n[MEMORY POOL 0x<ADDR>]\n"
              "Flags                 = 0x0\n"
              "Total size            = 98304 \n"
              "Manage size           = 176 \n"
              "Free  size            = 98128 \n"
              "Occupied size         = 0 \n"
              "Percentage occupation = 0.2%\n"
              "Nb of sub pools       = 2 \n"
              "Max free size in a sp = 65472\n"
              "Min free size in a sp = 32656\n"
              "Min sp percentage occ = 0.1%\n"
              "Max sp percentage occ = 0.3%\n");
    EXPECT_EQ(MaskAddresses(ReportText(pool.get(), Flag::REPORT_ONE_LINE)),
              "POOL:0x<ADDR> fg=00000000 sz=98304(  0.094) fre=98128 occ=0 pct=0.2 mng=176  nbb=2 "
              "nbh=2 subpool_info=(nb=2 maxf=65472 minf=32656  maxo=0.3, mino=0.1 "
              "maxhole=65472?)\n");
}

TEST(GeneralPoolReport, OneLineOfLargePoolShowsMegabytes) {
    PoolHandle pool(0x200000, 0);
    EXPECT_EQ(MaskAddresses(ReportText(pool.get(), Flag::REPORT_ONE_LINE)),
              "POOL:0x<ADDR> fg=00000000 sz=2097152(  2.000) fre=2097040 occ=0 pct=0.0 mng=112  "
              "nbb=1 nbh=1 subpool_info=(nb=1 maxf=2097040 minf=2097040  maxo=0.0, mino=0.0 "
              "maxhole=2097040?)\n");
}

// A tracked pool whose first chunk's largest area is unknown (the split leaves 2000 passed out
// of 4104 free), and an added chunk that knows its own.
GeneralPool* PoolWithUnknownLargestArea(PoolHandle& pool) {
    WithFreeAreas(pool.get(), {104, 3000, 2000});
    pool->Allocate(1000 - 16, 0);
    pool->Allocate(40000, 0);
    return pool.get();
}

TEST(GeneralPoolReport, OneLineMarksAnUnknownLargestAreaWithABlank) {
    PoolHandle pool(32768, Flag::TRACKED_FREE_LIST);
    EXPECT_EQ(MaskAddresses(ReportText(pool.get(), Flag::REPORT_ONE_LINE)),
              "POOL:0x<ADDR> fg=00000000 sz=32768(  0.031) fre=32656 occ=0 pct=0.3 mng=112  nbb=1 "
              "nbh=1 subpool_info=(nb=1 maxf=32656 minf=32656  maxo=0.3, mino=0.3 "
              "maxhole=32656?)\n");
    PoolWithUnknownLargestArea(pool);
    ASSERT_EQ(pool->chunk.largestFreeArea, kLargestUnknown);
    EXPECT_EQ(MaskAddresses(ReportText(pool.get(), Flag::REPORT_ONE_LINE)),
              "POOL:0x<ADDR> fg=00000000 sz=98304(  0.094) fre=29560 occ=68568 pct=69.9 mng=176  "
              "nbb=10 nbh=4 subpool_info=(nb=2 maxf=25456 minf=4104  maxo=87.5, mino=61.2 "
              "maxhole=25456 )\n");
}

auto Fields(const QORPoolInfo& r) {
    return std::make_tuple(r.flagBits, r.totalSize, r.freeSize, r.chunkCount, r.maxChunkFree,
                           r.minChunkFree, r.minChunkOccupation, r.maxChunkOccupation, r.occupation,
                           r.holeTotal, r.blockTotal, r.largestKnownHole, r.holeSizeUnknown);
}

TEST(GeneralPoolReport, RecordHoldsTheFiguresOfTheWholeChain) {
    PoolHandle pool(32768, Flag::TRACKED_FREE_LIST | Flag::SINGLE_SIZE);
    QORPoolInfo record;
    std::memset(&record, 0xAB, sizeof record);
    pool->Report(nullptr, &record, 0);
    QORPoolInfo fresh{0x80, 32768, 32656, 1, 32656, 32656, 0, 0, 0, 1, 1, 32656, 0};
    EXPECT_EQ(Fields(record), Fields(fresh));

    PoolWithUnknownLargestArea(pool);
    const QORPoolInfo expected{0x80, 98304, 29560, 2, 25456, 4104, 61, 87, 69, 4, 10, 25456, -1};
    for (int options : {0, 1, 2, 3}) {
        std::memset(&record, 0xAB, sizeof record);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        pool->Report(nullptr, &record, options);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(Fields(record), Fields(expected)) << "options " << options;
    }
    std::memset(&record, 0xAB, sizeof record);
    const std::string text = Capture([&](FILE* s) { pool->Report(s, &record, 3); });
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(Fields(record), Fields(expected));
}

} // namespace
