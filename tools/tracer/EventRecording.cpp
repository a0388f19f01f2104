// The recording's writer: one buffer in the tracer's own memory, written out with write() when
// full and at the end, so that a hook neither allocates nor calls stdio.
// Invariants: used <= kBufferBytes - kLargestEvent before each event; fd >= 0 while gRecording.
#include "EventRecording.h"

#include "SafeFormat.h"
#include "TracerState.h"

#include <pthread.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdlib>
#include <cstring>

namespace qor::tracer {

bool gRecording = false;

namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kLargestEvent = 3 * 10; // a thread switch, then an allocation and its pool
constexpr int kMaxThreads = 4096;             // threads past it share the last number
constexpr char kMagic[8] = {'Q', 'O', 'R', 'E', 'V', 'T', '1', '\n'};

struct Recorder {
    int fd = -1;
    int pid = 0; // the process that opened the file
    std::size_t used = 0;
    std::uint32_t allocations = 0, releases = 0; // as the end mark counts them, modulo 2^32
    std::uint16_t lastPool = 0;
    int thread = -1; // the number of the thread whose events are being written
    int threadCount = 0;
    pthread_t threads[kMaxThreads] = {};
    unsigned char buffer[kBufferBytes] = {};
};

constinit Recorder gRecorder;

void Put(std::uint64_t value) {
    while (value >= 0x80) {
        gRecorder.buffer[gRecorder.used++] = static_cast<unsigned char>(value | 0x80);
        value >>= 7;
    }
    gRecorder.buffer[gRecorder.used++] = static_cast<unsigned char>(value);
}

// A forked child drops what it buffered and records no more: the file is its parent's.
void Flush() {
    if (::getpid() != gRecorder.pid) gRecording = false;
    if (gRecording)
        WriteAll(gRecorder.fd, reinterpret_cast<const char*>(gRecorder.buffer), gRecorder.used);
    gRecorder.used = 0;
}

// Threads are told apart by pthread_self, which reads a register: a thread-local number would be
// allocated by the loader with malloc, inside a hook. A thread that ends may hand its descriptor
// to a later one, which then continues its number (their events never overlap in time).
int ThreadNumber() {
    const pthread_t self = pthread_self();
    if (gRecorder.thread >= 0 && pthread_equal(gRecorder.threads[gRecorder.thread], self))
        return gRecorder.thread;
    for (int i = 0; i < gRecorder.threadCount; ++i)
        if (pthread_equal(gRecorder.threads[i], self)) return i;
    if (gRecorder.threadCount == kMaxThreads) return kMaxThreads - 1;
    gRecorder.threads[gRecorder.threadCount] = self;
    return gRecorder.threadCount++;
}

// Starts an event: room in the buffer, and the thread switch when another thread writes.
void BeginEvent() {
    if (gRecorder.used > kBufferBytes - kLargestEvent) Flush();
    const int thread = ThreadNumber();
    if (thread == gRecorder.thread) return;
    gRecorder.thread = thread;
    Put((std::uint64_t(thread) + 1) << 2 | 3);
}

} // namespace

void StartRecording(const char* prefix) {
    const char* asked = std::getenv("QORSysTracerRecord");
    if (asked == nullptr || std::strcmp(asked, "1") != 0) return;
    // A replay of the seen requests alone would answer for a program that never ran.
    if (gState.sampleBytes != 0) {
        static const char kRefused[] =
            "QORSysTracer: QORSysTracerRecord=1 ignored: the hooks see a sample of the requests "
            "(QORSysMallocInstrumSample), and a recording needs them all\n";
        WriteAll(2, kRefused, sizeof kRefused - 1);
        return;
    }
    char path[4112];
    SafePrint(path, sizeof path, "%s.events", prefix);
    gRecorder.fd = OpenOutput(path);
    if (gRecorder.fd < 0) return;
    gRecorder.pid = ::getpid();
    std::memcpy(gRecorder.buffer, kMagic, sizeof kMagic);
    gRecorder.used = sizeof kMagic;
    gRecording = true;
}

std::uint32_t RecordAllocationEvent(std::uint64_t bytes, std::uint16_t pool) {
    BeginEvent();
    const bool samePool = pool == gRecorder.lastPool && gRecorder.allocations != 0;
    Put(bytes << 2 | (samePool ? 0 : 1));
    if (!samePool) Put(pool);
    gRecorder.lastPool = pool;
    return gRecorder.allocations++;
}

void RecordReleaseEvent(std::uint32_t block) {
    BeginEvent();
    Put(std::uint64_t(gRecorder.allocations - block) << 2 | 2);
    ++gRecorder.releases;
}

void FinishRecording(bool complete) {
    if (!gRecording) return;
    if (complete && ::getpid() == gRecorder.pid) {
        Put(3);
        Put(gRecorder.allocations);
        Put(gRecorder.releases);
        // Said where the user looks when the run ends: the replay cannot know what is missing.
        if (gState.untrackedReleases != 0) {
            char told[256];
            SafePrint(told, sizeof told,
                      "QORSysTracer: the recording lacks %" PRIu64
                      " releases of blocks that the live-block table could not hold, which a "
                      "replay keeps live: raise QORSysTracerCapacity\n",
                      gState.untrackedReleases);
            WriteAll(2, told, std::strlen(told));
        }
    }
    Flush();
    gRecording = false;
    ::close(gRecorder.fd);
}

} // namespace qor::tracer
