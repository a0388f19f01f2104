// The swap file: objects of random sizes with seeded contents, held by smart handles, made, read,
// marked used, swapped out, recalled and released as the input says, in a small zone over a small
// file. After every step each object is in the age list or on a booked page, the page index obeys
// its run-length rule, objects read through their handles are byte-identical to what was
// written, and failures are 0x80004005 or null and lose no object.
// With QOR_FUZZ_IO_FAULTS=1 the file's reads and writes are also cut short or fail now and then
// (through the platform's fault filter, drawn from the input's first word): a short transfer
// must be carried on, a failed write must leave its object in memory or its page in a buffer, a
// failed read must leave the object on disk, and once the faults stop every object comes back.
#include "../swapfile/SwapFileAccess.h"
#include "FuzzInput.h"
#include "Models.h"
#include "core/PoolInterface.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace {

using SF = QORSysSwapFileTestAccess;
int gDestroyed;

struct Blob : QORSysSwappable { // the bytes after its fields carry its seed's pattern
    Blob(QORSysSwapFile* file, std::size_t n, std::uint32_t s)
        : QORSysSwappable(file, 0), seed(s), bytes(n) {
        Fill(this + 1, n - sizeof(Blob), s);
    }
    ~Blob() override { ++gDestroyed; }
    bool Intact(std::uint32_t s, bool whole) {
        return seed == s && ::Intact(this + 1, bytes - sizeof(Blob), s, whole);
    }
    std::uint32_t seed;
    std::size_t bytes;
};
struct Ref : QORSysSwappable_hdl { // what the program keeps
    using QORSysSwappable_hdl::QORSysSwappable_hdl;
    Blob* Get() { return static_cast<Blob*>(GetObject()); }
    QORSysSwappableHdl* H() const { return handle; }
};
std::vector<std::pair<Ref, std::uint32_t>> gLive; // references (several per object) and seeds

std::minstd_rand gFaults;
// One call in 25 fails, one in 6 moves only part of its bytes.
long Fault(bool, std::size_t bytes) {
    const unsigned draw = gFaults() % 100;
    if (draw < 4) return -1;
    if (draw < 20 && bytes > 1) return static_cast<long>(1 + gFaults() % (bytes - 1));
    return static_cast<long>(bytes);
}

// Drops reference i. The last one destroys its object; when that object could not be brought
// back from disk it stays there, and is taken up again so that it is not lost.
void Release(std::size_t i) {
    QORSysSwappableHdl* const h = gLive[i].first.H();
    const std::uint32_t seed = gLive[i].second;
    const auto last =
        std::count_if(gLive.begin(), gLive.end(), [h](auto& l) { return l.first.H() == h; }) == 1;
    const int destroyed = gDestroyed;
    gLive.erase(gLive.begin() + long(i));
    FUZZ_CHECK(gDestroyed == destroyed + last || (last && h->IsSwapped()));
    if (gDestroyed == destroyed && last) h->AddRefToObj(nullptr), gLive.emplace_back(Ref(h), seed);
}

// Swap files go to the temporary directory, and each leaves it as soon as it is open.
void Prepare() {
    UseDefaultConfiguration();
    unsetenv("QPL_UVT_TMP"); // it would come first
    setenv("QORSwapFileDir", std::filesystem::temp_directory_path().c_str(), 1);
}

void Run(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    void* zonePool = nullptr; // the swap file leaves it empty, not destroyed
    int made = gDestroyed = 0;
    const char* faults = std::getenv("QOR_FUZZ_IO_FAULTS");
    if (faults != nullptr && std::strcmp(faults, "1") == 0) {
        gFaults.seed(in.Word() + 1);
        qor::platform::SetIoFaultFilter(&Fault);
    }
    {
        QORSysSwapFile file;
        const unsigned zone = 32768u << in.Pick(3), megabytes = 2 + in.Pick(7);
        FUZZ_CHECK(file.Initialize(0, zone, 4096, megabytes << 20) == 0);
        std::filesystem::remove(std::filesystem::read_symlink(SF::Path(file)));
        file.TuneSwapOut(in.Pick(4) * 3000);
        // Half of the runs give charges back, half reload objects alone (from a value already
        // drawn: the corpus keeps its meaning); once every object is gone, nothing is charged
        // any more and every page is free.
        const bool givesBack = (megabytes & 1) != 0;
        file.GiveBackCharges(givesBack);
        FUZZ_CHECK(file.ReloadObjectsAlone((megabytes & 2) != 0) == 0); // a quarter both ways
        zonePool = SF::Pool(file);
        for (std::uint32_t seed = 1; in.More(); ++seed) {
            const unsigned op = in.Pick(8);
            const std::size_t i = gLive.empty() ? 0 : in.Word() % gLive.size();
            QORSysSwappableHdl* const h = gLive.empty() ? nullptr : gLive[i].first.H();
            if (op < 2 || h == nullptr) {
                const unsigned range = in.Pick(8) ? 2000 : 30000,
                               bytes = sizeof(Blob) + in.Word() % range;
                if (void* memory = QORSysSwappable::operator new(bytes, &file, nullptr, 0))
                    gLive.emplace_back(Ref(::new (memory) Blob(&file, bytes, seed)), seed), ++made;
            } else if (op == 2) { // read, or find it still booked; mark it used
                Blob* b = gLive[i].first.Get();
                FUZZ_CHECK(b ? b->Intact(gLive[i].second, true) : SF::Booked(file, SF::Object(h)));
                if (b && in.Pick(2)) b->IsUsed();
            } else if (op == 3) {
                Release(i);
            } else if (op == 4) {
                gLive.push_back(gLive[i]); // one more reference
            } else {
                const long result = op == 5   ? file.SwapOutObject(h)
                                    : op == 6 ? file.SwapOutOldestObjects(in.Word() * 4)
                                              : file.RecallObject(h);
                FUZZ_CHECK(result == 0 || (result == QORSysSwapFailure && op != 7));
                FUZZ_CHECK(op != 5 || result != 0 || h->IsSwapped());
            }
            std::set<QORSysSwappableHdl*> inMemory;
            for (auto& [ref, seed] : gLive) {
                const std::uint64_t object = SF::Object(ref.H());
                FUZZ_CHECK(object & 1 ? SF::Booked(file, object)
                                      : reinterpret_cast<Blob*>(object)->Intact(seed, false));
                if (!(object & 1)) inMemory.insert(ref.H());
            }
            FUZZ_CHECK(SF::Broken(file).empty() && SF::AgeList(file).size() == inMemory.size());
        }
        qor::platform::SetIoFaultFilter(nullptr); // from here on, every object must come back
        for (std::size_t round = 0; !gLive.empty(); ++round)
            FUZZ_CHECK(round < 100000), Release(0);
        FUZZ_CHECK(SF::Broken(file).empty() && SF::AgeList(file).empty());
        FUZZ_CHECK(SF::AllFree(file) && gDestroyed == made);
        FUZZ_CHECK(!givesBack || SF::AllocatedTotal(file) == 0);
    }
    FUZZ_CHECK(QORSysFlushPool(zonePool, 1) == 0 && qor::State().poolRegistry == nullptr);
}

} // namespace

const FuzzModel kSwapFileModel{"SwapFile", Prepare, Run};
