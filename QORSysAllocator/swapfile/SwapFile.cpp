// Set-up and tear-down of a swap file: the zone (a general pool that never grows, or a smaller
// growing one when that cannot be had), the page table and the file on disk.
#include "SwapFileInternals.h"

#include "../core/Configuration.h"
#include "../core/EnvironmentVariables.h"
#include "../core/Runtime.h"
#include "../platform/Platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

using qor::SwapFileInternals;

constexpr std::size_t kZoneGrain = 4096;
constexpr std::uint32_t kZoneFlags = QORSysPoolFlag::NO_NEW_SUBPOOL | QORSysPoolFlag::FLUSHABLE;
constexpr std::uint32_t kFallbackZoneFlags = QORSysPoolFlag::FLUSHABLE;
constexpr std::size_t kPathBytes = 2048;

// The directories to try, first set first; an empty value counts as set.
constexpr qor::Variable kDirectoryVariables[] = {
    qor::Variable::SwapDirectory1, qor::Variable::SwapDirectory2, qor::Variable::SwapDirectory3};

constexpr std::uint64_t RoundUp(std::uint64_t bytes, std::uint64_t grain) {
    return (bytes + grain - 1) / grain * grain;
}

const char* SwapDirectory() {
    for (const qor::Variable variable : kDirectoryVariables)
        if (const char* value = qor::ReadVariable(variable)) return value;
    return qor::platform::kDefaultTempDirectory;
}

// Opens the file, or ends the process: a swap file without its file would lose objects.
FILE* OpenSwapFileOrExit() {
    char path[kPathBytes];
    const int length =
        std::snprintf(path, sizeof(path), "%s%cSwapFile%-d_%-d.txt", SwapDirectory(),
                      qor::platform::kPathSeparator, qor::platform::ProcessId(),
                      // swap files of several threads get distinct names
                      __atomic_fetch_add(&qor::State().swapFileSequence, 1, __ATOMIC_RELAXED));
    FILE* stream = nullptr;
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof(path))
        errno = ENAMETOOLONG;
    else
        stream = qor::platform::CreatePrivateFile(path);
    if (stream == nullptr) {
        std::perror("Unable to open swap file");
        qor::platform::ExitImmediately(1);
    }
    return stream;
}

// Halves the distance to the minimum until a pool can be had; null when not even the minimum.
void* CreateFallbackZone(std::uint64_t zone, std::uint64_t minimumZone, std::uint64_t& capacity,
                         bool& gaveUp) {
    std::uint64_t current = zone;
    while (current > minimumZone) {
        std::uint64_t candidate = RoundUp((current + minimumZone) / 2, kZoneGrain);
        if (candidate >= current) candidate = minimumZone;
        if (void* pool = QORSysCreatePool(kFallbackZoneFlags, candidate, nullptr)) {
            capacity = candidate;
            return pool;
        }
        if (candidate == minimumZone) {
            gaveUp = true;
            return nullptr;
        }
        current = candidate;
    }
    return nullptr;
}

} // namespace

long QORSysSwapFile::Initialize(int, std::size_t zone, std::size_t minimumZone,
                                std::size_t capacity) {
    if (pool != nullptr || pageIndex != nullptr || stream != nullptr) return QORSysSwapFailure;
    const std::uint64_t fileBytes = RoundUp(capacity, qor::kSwapPageBytes);
    const std::uint64_t zoneBytes = RoundUp(zone, kZoneGrain);
    const std::uint64_t minimumBytes = RoundUp(minimumZone, kZoneGrain);

    pool = QORSysCreatePool(kZoneFlags, zoneBytes, nullptr);
    zoneCapacity = zoneBytes;
    if (pool == nullptr) {
        bool gaveUp = false;
        pool = CreateFallbackZone(zoneBytes, minimumBytes, zoneCapacity, gaveUp);
        if (gaveUp) return QORSysSwapFailure;
    }
    if (pool != nullptr) {
        qor::zone::AttachSwapFile(pool, this);
        std::size_t freeBytes = 0;
        QORSysPoolGetFreeSpace(pool, &freeBytes, nullptr);
        zoneCapacity = freeBytes;
    }

    fileCapacity = fileBytes;
    allocatedTotal = 0;
    chargesGivenBack = qor::config::ReadSwitch(qor::Variable::SwapChargesGivenBack, false);
    objectsReloadAlone = qor::config::ReadSwitch(qor::Variable::SwapObjectReload, false);
    const std::uint64_t pages = fileBytes / qor::kSwapPageBytes;
    pageCount = static_cast<std::int32_t>(pages < qor::kMaxSwapPages ? pages : qor::kMaxSwapPages);
    pageIndex = static_cast<unsigned char*>(
        qor::platform::AllocateObjectMemory(SwapFileInternals::PageTableBytes(pageCount)));
    if (pageIndex == nullptr) {
        // Without a page table nothing can be swapped: give the zone back and report failure.
        if (pool != nullptr) QORSysFlushPool(pool, QORSysPoolFlag::FLUSH_DESTROY);
        pool = nullptr;
        return QORSysSwapFailure;
    }
    for (std::int32_t page = 0; page < pageCount; ++page) {
        const std::int32_t run = pageCount - page;
        pageIndex[page] =
            run < qor::kLongFreeRun ? static_cast<unsigned char>(run) : qor::kLongFreeRun;
        SwapFileInternals::TailOf(*this, page) = 0;
    }
    SwapFileInternals::Spares(*this) = {};
    SwapFileInternals::MovesOf(*this) = {};
    SwapFileInternals::HintsOf(*this) = {};
    stream = OpenSwapFileOrExit();
    if (qor::config::ReadSwitch(qor::Variable::SwapMappedReads, false))
        SwapFileInternals::Spares(*this).view =
            qor::platform::MapFile(stream, std::uint64_t(pageCount) * qor::kSwapPageBytes);
    SwapFileInternals::List(*this);
    return QORSysSwapSuccess;
}

QORSysSwapFile::~QORSysSwapFile() {
    // Off the list before the zone's flush, whose hooks may sample the swap files.
    SwapFileInternals::Unlist(*this, true);
    if (pool != nullptr) {
        qor::zone::AttachSwapFile(pool, nullptr);
        QORSysFlushPool(pool, 0);
    }
    // Buffers still in memory are dropped unwritten; their memory goes back.
    for (PreSwapPage* buffer = preSwapPages; buffer != nullptr;) {
        PreSwapPage* next = buffer->next;
        qor::platform::ReleaseObjectMemory(buffer);
        buffer = next;
    }
    if (pageIndex != nullptr) {
        qor::platform::UnmapFile(SwapFileInternals::Spares(*this).view);
        SwapFileInternals::ReleaseSpares(*this);
    }
    pool = nullptr;
    allocatedTotal = zoneUsed = zoneCapacity = fileCapacity = 0;
    firstFreePage = pageHighWater = 0;
    preSwapPages = nullptr;
    oldest = newest = nullptr;
    minSwapOutBytes = 0;
    if (stream != nullptr) qor::platform::CloseFile(stream);
    stream = nullptr;
    qor::platform::ReleaseObjectMemory(pageIndex);
    pageIndex = nullptr;
}

QORSysSwapFile& QORSysSwapFile::operator=(const QORSysSwapFile& other) {
    pool = other.pool;
    pageIndex = other.pageIndex;
    stream = other.stream;
    zoneCapacity = other.zoneCapacity;
    zoneUsed = other.zoneUsed;
    fileCapacity = other.fileCapacity;
    allocatedTotal = other.allocatedTotal;
    pageCount = other.pageCount;
    firstFreePage = other.firstFreePage;
    pageHighWater = other.pageHighWater;
    preSwapPages = other.preSwapPages;
    oldest = other.oldest;
    newest = other.newest;
    minSwapOutBytes = other.minSwapOutBytes;
    chargesGivenBack = other.chargesGivenBack;
    objectsReloadAlone = other.objectsReloadAlone;
    if (pageIndex != nullptr)
        SwapFileInternals::List(*this);
    else
        SwapFileInternals::Unlist(*this, false);
    return *this;
}

long QORSysSwapFile::ReloadObjectsAlone(bool on) {
    // Pages written under one rule are read back under it: a whole-page read would bring back
    // records already reloaded alone, which leave no mark on their page.
    if (pageIndex != nullptr && std::memchr(pageIndex, 0, std::size_t(pageCount)) != nullptr)
        return QORSysSwapFailure;
    objectsReloadAlone = on;
    return QORSysSwapSuccess;
}

long QORSysSwapFile::TuneSwapOut(unsigned int minimumBytes) {
    minSwapOutBytes = minimumBytes;
    return QORSysSwapSuccess;
}
