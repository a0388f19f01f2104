// Out-of-core phase: the objects and visits of VisitStream.h (objects of 200 bytes to 20 KiB, an
// application-like walk near a slowly wandering locus); each visit checks the object's bytes,
// 10 % rewrite part of it and 2 % replace it by a new object of another size. In swap mode the
// objects derive from QORSysSwappable and live in a swap file whose zone holds a thirtieth of
// them, reached through smart handles (IsUsed at each visit); in memory mode the same visits run
// on plain heap objects; swap-alone brings objects back alone (ReloadObjectsAlone). One mode per
// process, so that the peak RSS is the mode's own. The file
// I/O calls and the malloc family are counted by interposing them here.
// The figures cover the visits after a warm-up of a tenth of them.
// Usage: qor_out_of_core swap|swap-alone|memory [objects] [visits]
// Prints one JSON line.
#include "VisitStream.h"

#include <QORSysSwapFile.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <sys/resource.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

// ---- counters: the library reaches these through the dynamic linker before libc -----------

namespace {
std::uint64_t gMallocCalls = 0;
std::uint64_t gIoCalls = 0;
std::uint64_t gIoBytes = 0;
} // namespace

#define QOR_INTERPOSED extern "C" __attribute__((visibility("default")))

// A sanitizer's runtime owns malloc: there the malloc family is not counted (reported as -1).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCountsMalloc = false;
#else
constexpr bool kCountsMalloc = true;

extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);

QOR_INTERPOSED void* malloc(std::size_t bytes) {
    ++gMallocCalls;
    return __libc_malloc(bytes);
}
QOR_INTERPOSED void* calloc(std::size_t count, std::size_t bytes) {
    ++gMallocCalls;
    return __libc_calloc(count, bytes);
}
QOR_INTERPOSED void* realloc(void* memory, std::size_t bytes) {
    ++gMallocCalls;
    return __libc_realloc(memory, bytes);
}
#endif

namespace {
template <class Function> Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}
template <class Result> Result Counted(Result moved) {
    ++gIoCalls;
    if (moved > 0) gIoBytes += static_cast<std::uint64_t>(moved);
    return moved;
}
} // namespace

QOR_INTERPOSED ssize_t pwrite(int fd, const void* bytes, std::size_t length, off_t offset) {
    static const auto next = Next<ssize_t (*)(int, const void*, std::size_t, off_t)>("pwrite");
    return Counted(next(fd, bytes, length, offset));
}
QOR_INTERPOSED ssize_t pread(int fd, void* bytes, std::size_t length, off_t offset) {
    static const auto next = Next<ssize_t (*)(int, void*, std::size_t, off_t)>("pread");
    return Counted(next(fd, bytes, length, offset));
}
QOR_INTERPOSED ssize_t pwritev(int fd, const iovec* vector, int count, off_t offset) {
    static const auto next = Next<ssize_t (*)(int, const iovec*, int, off_t)>("pwritev");
    return Counted(next(fd, vector, count, offset));
}
QOR_INTERPOSED ssize_t preadv(int fd, const iovec* vector, int count, off_t offset) {
    static const auto next = Next<ssize_t (*)(int, const iovec*, int, off_t)>("preadv");
    return Counted(next(fd, vector, count, offset));
}

namespace {

std::uint64_t gSwapIns = 0;
std::uint64_t gSwapOuts = 0;

[[noreturn]] void Fail(const char* why) {
    std::fprintf(stderr, "%s\n", why);
    std::exit(1);
}

// The fields every object has; its payload follows it. `sum` is the payload's checksum.
struct Body {
    std::uint32_t bytes; // payload bytes
    std::uint64_t sum;
};

char* PayloadOf(Body* body) { return reinterpret_cast<char*>(body + 1); }

// A sum of the payload's 8-byte words (and its last bytes) at memory speed: the check must not
// hide the swap file's own cost.
std::uint64_t Checksum(const Body* body) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(body + 1);
    std::uint64_t sum = 0, word;
    std::uint32_t i = 0;
    for (; i + 8 <= body->bytes; i += 8)
        sum += (std::memcpy(&word, bytes + i, 8), word);
    for (; i < body->bytes; ++i)
        sum = sum * 31 + bytes[i];
    return sum;
}

void Fill(Body* body, std::uint32_t bytes, std::uint32_t seed) {
    body->bytes = bytes;
    std::memset(PayloadOf(body), static_cast<int>(seed & 0xFF), bytes);
    body->sum = Checksum(body);
}

struct SwapObject : QORSysSwappable {
    explicit SwapObject(QORSysSwapFile* file) : QORSysSwappable(file, 0) {}
    long SwappedIn() override { return ++gSwapIns, 0; }
    long SwappedOut() override { return ++gSwapOuts, 0; }
    Body body;
};
static_assert(sizeof(SwapObject) == qor::bench::kObjectFieldBytes, "the simulator's object size");

struct SwapRef : QORSysSwappable_hdl {
    using QORSysSwappable_hdl::QORSysSwappable_hdl;
    SwapObject* Get() { return static_cast<SwapObject*>(GetObject()); }
};

// Objects in the swap file, reached through their handles.
class SwapStore {
public:
    SwapStore(std::size_t zoneBytes, bool alone) {
        file.Initialize(0, zoneBytes, zoneBytes, 1u << 31);
        file.ReloadObjectsAlone(alone);
    }
    void Make(std::size_t i, std::uint32_t bytes, std::uint32_t seed) {
        void* memory = QORSysSwappable::operator new(sizeof(SwapObject) + bytes, &file, nullptr, 0);
        if (memory == nullptr) Fail("allocation failed");
        auto* object = ::new (memory) SwapObject(&file);
        Fill(&object->body, bytes, seed);
        if (i == refs.size())
            refs.emplace_back(object);
        else
            refs[i] = SwapRef(object);
    }
    Body* Visit(std::size_t i) {
        SwapObject* object = refs[i].Get();
        if (object == nullptr) Fail("object lost");
        object->IsUsed();
        return &object->body;
    }
    void Clear() { refs.clear(); }

private:
    QORSysSwapFile file;
    std::vector<SwapRef> refs;
};

// The same objects on the heap.
class MemoryStore {
public:
    MemoryStore(std::size_t, bool) {}
    ~MemoryStore() { Clear(); }
    void Make(std::size_t i, std::uint32_t bytes, std::uint32_t seed) {
        auto* body = static_cast<Body*>(::operator new(sizeof(Body) + bytes));
        Fill(body, bytes, seed);
        if (i == objects.size())
            objects.push_back(body);
        else
            ::operator delete(objects[i]), objects[i] = body;
    }
    Body* Visit(std::size_t i) { return objects[i]; }
    void Clear() {
        for (Body* body : objects)
            ::operator delete(body);
        objects.clear();
    }

private:
    std::vector<Body*> objects;
};

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Workload {
    std::size_t objects;
    std::size_t visits;
};

template <class Store> int Run(const char* mode, const Workload& work, bool alone) {
    qor::bench::VisitStream stream(work.objects);
    const std::uint64_t totalBytes = stream.InitialBytes();
    Store store(totalBytes / 30, alone);
    for (std::size_t i = 0; i < work.objects; ++i)
        store.Make(i, stream.Bytes(i), static_cast<std::uint32_t>(i));

    // A tenth more visits first, not measured: the swap file reaches its steady state (its
    // buffers and spares at their working numbers).
    const std::size_t warmUp = work.visits / 10;
    std::uint64_t swapIns = 0, swapOuts = 0, mallocs = 0, ioCalls = 0, ioBytes = 0;
    double cpu = 0;
    std::uint64_t replaced = 0;
    for (std::size_t visit = 0; visit < warmUp + work.visits; ++visit) {
        if (visit == warmUp) {
            swapIns = gSwapIns, swapOuts = gSwapOuts, mallocs = gMallocCalls;
            ioCalls = gIoCalls, ioBytes = gIoBytes;
            cpu = CpuSeconds();
        }
        const qor::bench::VisitEvent event = stream.Next();
        Body* body = store.Visit(event.object);
        if (Checksum(body) != body->sum) Fail("object bytes changed");
        if (event.rewrites) { // a part of it
            std::memset(PayloadOf(body) + event.rewriteFrom, static_cast<int>(visit & 0xFF),
                        (body->bytes - event.rewriteFrom) / 2);
            body->sum = Checksum(body);
        } else if (event.newBytes != 0) {
            store.Make(event.object, event.newBytes, static_cast<std::uint32_t>(visit));
            replaced += visit >= warmUp;
        }
    }
    const double seconds = CpuSeconds() - cpu;
    const std::uint64_t ins = gSwapIns - swapIns, outs = gSwapOuts - swapOuts;
    const std::uint64_t calls = gIoCalls - ioCalls, pages = (gIoBytes - ioBytes) / 8192;
    const std::uint64_t mallocCalls = gMallocCalls - mallocs;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "{\"mode\":\"%s\",\"objects\":%zu,\"megabytes\":%.1f,\"visits\":%zu,"
        "\"cpu_seconds\":%.3f,\"swap_ins\":%llu,\"swap_outs\":%llu,"
        "\"swap_ins_per_visit\":%.3f,\"cpu_us_per_swap_in\":%.2f,\"io_calls\":%llu,"
        "\"pages_moved\":%llu,\"io_calls_per_page\":%.3f,\"malloc_calls\":%lld,"
        "\"replaced\":%llu,\"malloc_calls_per_page\":%.4f,\"peak_rss_mib\":%.1f}\n",
        mode, work.objects, static_cast<double>(totalBytes) / (1 << 20), work.visits, seconds,
        static_cast<unsigned long long>(ins), static_cast<unsigned long long>(outs),
        static_cast<double>(ins) / static_cast<double>(work.visits),
        ins != 0 ? seconds * 1e6 / static_cast<double>(ins) : 0.0,
        static_cast<unsigned long long>(calls), static_cast<unsigned long long>(pages),
        pages != 0 ? static_cast<double>(calls) / static_cast<double>(pages) : 0.0,
        kCountsMalloc ? static_cast<long long>(mallocCalls) : -1LL,
        static_cast<unsigned long long>(replaced),
        !kCountsMalloc ? -1.0
        : pages != 0   ? static_cast<double>(mallocCalls - replaced) / static_cast<double>(pages)
                       : 0.0,
        static_cast<double>(usage.ru_maxrss) / 1024);
    store.Clear();
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "swap";
    const Workload work{argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 12000,
                        argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 75000};
    if (work.objects == 0 || (mode != "swap" && mode != "swap-alone" && mode != "memory")) {
        std::fprintf(stderr, "usage: qor_out_of_core swap|swap-alone|memory [objects] [visits]\n");
        return 2;
    }
    char directory[] = "/tmp/qor_out_of_core_XXXXXX";
    if (mkdtemp(directory) == nullptr) return 1;
    setenv("QORSwapFileDir", directory, 1);
    const int result = mode == "memory" ? Run<MemoryStore>(mode.c_str(), work, false)
                                        : Run<SwapStore>(mode.c_str(), work, mode == "swap-alone");
    // The swap file stays on disk after its swap file is gone.
    const std::string file =
        std::string(directory) + "/SwapFile" + std::to_string(getpid()) + "_0.txt";
    std::remove(file.c_str());
    rmdir(directory);
    return result;
}
