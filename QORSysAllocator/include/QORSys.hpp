// QORSys.hpp: the C++ face of QORSysAllocator. Header only, over the exported functions and
// classes of QORSysAllocator.h, QORSysSwapFile.h and QORSysStdAdapters.h, which stay the
// reference for what each call does:
//
//   QORSys::Route::Heap ...     named pool arguments, usable where QORSpecializedNew takes a void*
//   QORSys::PoolRef             a pool object that someone else owns (a fixed pool, a swap zone)
//   QORSys::GeneralPool         owns a general pool: created from typed options, destroyed with it
//   QORSys::PagedPool           owns a paged pool, likewise
//   QORSys::FixedPoolObject     the pool object behind a fixed-pool argument, for optimise/report
//   QORSys::SwapHandle<T>       a counted, typed handle on a swappable object
//   QORSys::SwapFile            owns a swap file, its zone and its file on disk
//
// Results are bool, std::optional or the object itself instead of -1/0 and 0x80004005; nothing
// here throws except the constructors that cannot give an object (std::bad_alloc) and the
// standard adapters. Thread rules are the library's: a pool is shared by threads only when it is
// locked (GeneralPoolOptions::locked, PagedPoolOptions::locked, Route::ThreadSafe); any thread
// may create, use and destroy pools of its own while others do the same; a swap file and its
// handles belong to one thread at a time. Guide: docs/cpp-layer.md, docs/thread-safety.md.
#pragma once

#include "QORSysAllocator.h"
#include "QORSysStdAdapters.h"
#include "QORSysSwapFile.h"

#if __has_include("QORSysVersion.h")
#include "QORSysVersion.h"
#endif

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <memory_resource>
#include <new>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

namespace QORSys {

// A pool argument of QORSpecializedNew by name; converts to the void* the call takes:
//     QORSpecializedNew(24, QORSys::Route::Fast, nullptr, 0)
class PoolArgument {
public:
    constexpr explicit PoolArgument(std::uintptr_t value) noexcept : value_(value) {}
    operator void*() const noexcept { return reinterpret_cast<void*>(value_); }
    constexpr std::uintptr_t value() const noexcept { return value_; }
    friend constexpr bool operator==(PoolArgument, PoolArgument) = default;

private:
    std::uintptr_t value_;
};

namespace Route {
inline constexpr PoolArgument Heap{0};        // malloc with a 16-byte header
inline constexpr PoolArgument Permanent{1};   // one 2 MB pool with exact counters
inline constexpr PoolArgument InParam{2};     // the pool object given as `param`
inline constexpr PoolArgument Fast{4};        // a fast pool chosen by the size rounded up to 8
inline constexpr PoolArgument BesideBlock{8}; // the chunk of the block given as `param`
inline constexpr PoolArgument ThreadSafe{32}; // the locked pool
} // namespace Route

// As `param` of QORSpecializedNew: `n` bytes of room reserved behind the block (an arena).
inline constexpr PoolArgument ReserveRoom{16};

// What QORSysOptimizePool does to a general pool (a paged pool ignores it).
enum class Optimize : int {
    ReleaseEmpty = QORSysPoolFlag::OPTIMIZE_RELEASE_EMPTY, // give back chunks that hold no block
    Merge = QORSysPoolFlag::OPTIMIZE_MERGE,                // merge neighbouring free areas
    All = QORSysPoolFlag::OPTIMIZE_RELEASE_EMPTY | QORSysPoolFlag::OPTIMIZE_MERGE,
};

// How a general pool prints its report (a paged pool prints nothing).
enum class ReportStyle : int {
    Labelled = 0,                                      // the labelled summary block
    WithChunkList = QORSysPoolFlag::REPORT_CHUNK_LIST, // one line per chunk, then the summary
    OneLine = QORSysPoolFlag::REPORT_ONE_LINE,         // the summary on one line
};

// A pool object that this object does not own: allocation, release, optimisation and statistics
// through the exported calls. Empty (false) when it names no pool. Copies name the same pool.
class PoolRef {
public:
    PoolRef() noexcept = default;
    // Requires: `pool` a pool object of the given kind (from QORSysCreatePool, QORSysGetFixedPool
    // or a swap file's statistics), alive while this reference is used.
    PoolRef(void* pool, PoolKind kind) noexcept : pool_(pool), kind_(kind) {}

    void* get() const noexcept { return pool_; }
    PoolKind kind() const noexcept { return kind_; }
    explicit operator bool() const noexcept { return pool_ != nullptr; }

    // A block of `bytes`, or null (no memory; a paged pool serves at most 4040 bytes).
    void* allocate(std::size_t bytes) const noexcept {
        const detail::PoolRoute route = AdapterRoute();
        return QORSysCachedNew(bytes, route.argument, route.param);
    }
    // Requires: `block` from this pool, or null.
    void release(void* block) const noexcept { detail::Release(AdapterRoute(), block); }
    // False for an empty reference.
    bool optimize(Optimize how = Optimize::All) const noexcept {
        return QORSysOptimizePool(pool_, int(how)) == 0;
    }
    // The statistics record (QORPoolInfo); all zero for an empty reference.
    QORPoolInfo info() const noexcept {
        QORPoolInfo record{};
        if (pool_ != nullptr) QORSysGetPoolInfo(pool_, nullptr, &record, 0);
        return record;
    }
    void report(std::FILE* stream, ReportStyle style = ReportStyle::Labelled) const noexcept {
        if (pool_ != nullptr) QORSysGetPoolInfo(pool_, stream, nullptr, int(style));
    }
    // The standard adapters over this pool. Requires: this pool outlives their blocks.
    PoolResource resource(std::pmr::memory_resource* upstream = nullptr) const noexcept {
        return PoolResource(pool_, kind_, upstream);
    }
    template <typename T> PoolAllocator<T> allocator() const noexcept {
        return PoolAllocator<T>(pool_, kind_);
    }

protected:
    detail::PoolRoute AdapterRoute() const noexcept { return detail::PoolRoute::Of(pool_, kind_); }

    void* pool_ = nullptr;
    PoolKind kind_ = PoolKind::General;
};

// The pool object behind a fixed-pool argument (Route::Permanent, Route::ThreadSafe, or
// Route::Fast with the size it serves), to optimise, report or measure it; empty while that pool
// has not been created by a first allocation. Never destroy it: the library keeps using it.
inline PoolRef FixedPoolObject(PoolArgument argument, std::size_t size = 0) noexcept {
    return PoolRef(QORSysGetFixedPool(argument, size), PoolKind::General);
}

namespace detail {

// An owned pool: move-only; a moved-from object names nothing and destroys nothing.
class OwnedPool : public PoolRef {
public:
    OwnedPool(const OwnedPool&) = delete;
    OwnedPool& operator=(const OwnedPool&) = delete;
    OwnedPool(OwnedPool&& other) noexcept : PoolRef(other.Take(), other.kind_) {}
    OwnedPool& operator=(OwnedPool&& other) noexcept {
        if (this != &other) {
            Destroy();
            kind_ = other.kind_;
            pool_ = other.Take();
        }
        return *this;
    }
    ~OwnedPool() { Destroy(); }

    // Gives the pool up without destroying it; the caller owns it from then on.
    void* detach() noexcept { return Take(); }
    // Destroys the pool only when no block is in use: true when it is gone (then empty).
    bool destroy_if_empty() noexcept {
        if (pool_ == nullptr) return false;
        const int mode = QORSysPoolFlag::FLUSH_DESTROY | QORSysPoolFlag::FLUSH_DESTROY_IF_EMPTY;
        if (QORSysFlushPool(pool_, mode) != 0) return false;
        pool_ = nullptr;
        return true;
    }

protected:
    OwnedPool(void* pool, PoolKind kind) noexcept : PoolRef(pool, kind) {}
    void* Take() noexcept { return std::exchange(pool_, nullptr); }
    // A general pool goes with every block in it; a paged pool only when it is empty (it is
    // otherwise left in place, with its pages, and its blocks stay valid).
    void Destroy() noexcept {
        if (pool_ != nullptr) QORSysFlushPool(Take(), QORSysPoolFlag::FLUSH_DESTROY);
    }
};

template <typename Pool> Pool OrThrow(std::optional<Pool> pool) {
    if (!pool) throw std::bad_alloc();
    return std::move(*pool);
}

} // namespace detail

struct GeneralPoolOptions {
    std::size_t firstChunkBytes = 32 * 1024; // rounded down to 1024, at least 32768
    bool tracked = false;                    // exact hole and block counts (TRACKED_FREE_LIST)
    bool locked = false;                     // shared by threads (LOCKED)
    bool singleSize = false;                 // never merge free areas (SINGLE_SIZE)
    bool constantChunkSize = false;          // added chunks do not double (CONSTANT_SUBPOOL_SIZE)
    bool noNewChunk = false;                 // fail rather than add a chunk (NO_NEW_SUBPOOL)
    const char* name = "unknown";            // seen by a hook library only

    int Flags() const noexcept {
        using namespace QORSysPoolFlag;
        return int((tracked ? TRACKED_FREE_LIST : 0) | (locked ? LOCKED : 0) |
                   (singleSize ? SINGLE_SIZE : 0) |
                   (constantChunkSize ? CONSTANT_SUBPOOL_SIZE : 0) |
                   (noNewChunk ? NO_NEW_SUBPOOL : 0));
    }
};

// Owns a general pool: blocks with a 16-byte header, any size. The destructor destroys the pool
// and every block still in it.
class GeneralPool : public detail::OwnedPool {
public:
    // Null when malloc fails.
    static std::optional<GeneralPool> Create(const GeneralPoolOptions& options = {}) noexcept {
        void* pool = QORSysCreatePool(options.Flags(), options.firstChunkBytes, options.name);
        if (pool == nullptr) return std::nullopt;
        return GeneralPool(pool);
    }
    // Throws std::bad_alloc when the pool cannot be created.
    explicit GeneralPool(const GeneralPoolOptions& options = {})
        : GeneralPool(detail::OrThrow(Create(options))) {}

    using PoolRef::allocate;
    // A block of `bytes` with `roomBytes` reserved behind it for the blocks that
    // QORSpecializedNew(size, Route::BesideBlock, block, 0) places next to it.
    void* allocate(std::size_t bytes, std::size_t roomBytes) const noexcept {
        return QORSpecializedNew(bytes, pool_, ReserveRoom, int(roomBytes));
    }
    // Releases every block at once; the pool stays. False for a moved-from pool.
    bool clear() noexcept { return pool_ != nullptr && QORSysFlushPool(pool_, 0) == 0; }

private:
    explicit GeneralPool(void* pool) noexcept : OwnedPool(pool, PoolKind::General) {}
};

struct PagedPoolOptions {
    bool locked = false;          // shared by threads, with its own region list (LOCKED)
    bool flushable = false;       // its own region list (FLUSHABLE)
    bool volatileRegions = false; // regions go back as soon as they are free (VOLATILE)
    const char* name = "unknown"; // seen by a hook library only

    int Flags() const noexcept {
        using namespace QORSysPoolFlag;
        return int(PAGED | (locked ? LOCKED : 0) | (flushable ? FLUSHABLE : 0) |
                   (volatileRegions ? VOLATILE : 0));
    }
};

// Owns a paged pool: header-less blocks of at most 4040 bytes from 4 KB pages of one size class.
// The destructor destroys the pool when it is empty; a pool that still holds blocks is left.
class PagedPool : public detail::OwnedPool {
public:
    static std::optional<PagedPool> Create(const PagedPoolOptions& options = {}) noexcept {
        void* pool = QORSysCreatePool(options.Flags(), 0, options.name);
        if (pool == nullptr) return std::nullopt;
        return PagedPool(pool);
    }
    explicit PagedPool(const PagedPoolOptions& options = {})
        : PagedPool(detail::OrThrow(Create(options))) {}

    // True when no block is in use (a flush without destruction only answers that).
    bool empty() const noexcept { return pool_ == nullptr || QORSysFlushPool(pool_, 0) == 0; }

private:
    explicit PagedPool(void* pool) noexcept : OwnedPool(pool, PoolKind::Paged) {}
};

// A counted handle on a swappable object of class T: copies share the object, the last one
// brings it back if needed and destroys it. While the object is on disk the handle stays valid;
// using it reads the object back (with every object of its page).
// T may be incomplete where the handle is declared (a swappable class holding handles on its own
// kind): it is checked where an object is given or read.
template <typename T> class SwapHandle : private QORSysSwappable_hdl {
public:
    SwapHandle() noexcept = default;
    // Takes a new reference on `object` (from SwapFile::make or the swappable operator new);
    // empty for null or when its permanent handle cannot be allocated.
    explicit SwapHandle(T* object) : QORSysSwappable_hdl(static_cast<QORSysSwappable*>(object)) {
        static_assert(std::is_base_of_v<QORSysSwappable, T>, "T derives from QORSysSwappable");
    }
    SwapHandle(const SwapHandle&) = default;
    SwapHandle& operator=(const SwapHandle&) = default;
    SwapHandle(SwapHandle&& other) noexcept { handle = std::exchange(other.handle, nullptr); }
    SwapHandle& operator=(SwapHandle&& other) noexcept {
        if (this != &other) {
            reset();
            handle = std::exchange(other.handle, nullptr);
        }
        return *this;
    }
    ~SwapHandle() = default;

    // The object, brought back when it is on disk, or null (empty, or it cannot come back). Valid
    // until the next call that can make room in the zone. Does not mark the object as used.
    T* get() const { return static_cast<T*>(Self().GetObject()); }
    // As get(), and the object becomes the last candidate for swapping out.
    // Requires: get() is not null.
    T* operator->() const {
        T* object = get();
        object->IsUsed();
        return object;
    }
    T& operator*() const { return *operator->(); }

    // True while the object is on disk.
    bool swapped() const { return handle != nullptr && handle->IsSwapped() == 1; }
    explicit operator bool() const { return handle != nullptr && handle->IsNull() == 0; }
    // Smart handles that share the object, this one included.
    unsigned long use_count() const { return handle == nullptr ? 0 : handle->GetRefCount(); }
    // Drops this reference (the last one destroys the object).
    void reset() { SetObjectRef(nullptr); }
    // The permanent handle, as the swap file's own calls take it.
    QORSysSwappableHdl* permanent() const noexcept { return handle; }

    friend bool operator==(const SwapHandle& a, const SwapHandle& b) noexcept {
        return a.handle == b.handle;
    }

private:
    SwapHandle& Self() const { return const_cast<SwapHandle&>(*this); }
};

struct SwapFileOptions {
    std::size_t zoneBytes = 1 << 20;      // memory for objects, rounded up to 4096
    std::size_t minimumZoneBytes = 0;     // accepted when zoneBytes cannot be had; 0: zoneBytes
    std::size_t capacityBytes = 64 << 20; // the file, and the objects alive, at most 2 GB
    bool removeFile = true;               // delete the file on disk when the SwapFile goes
    // A destroyed object gives its charge against capacityBytes back, so that only the objects
    // alive count (QORSysSwapFile::GiveBackCharges). Off: every object ever created counts.
    bool giveBackCharges = true;
    // An object comes back from disk alone, not with the rest of its page
    // (QORSysSwapFile::ReloadObjectsAlone): fewer objects move when the objects used together were
    // not swapped out together, as in most programs. Off: a page comes back whole.
    bool reloadObjectsAlone = true;
};

// Owns a QORSysSwapFile, its zone and its file. Move-only; it must outlive every handle and
// object made through it. Its destruction drops the objects still in memory without their
// destructors, destroys the zone and, unless told otherwise, deletes the file.
class SwapFile {
public:
    static std::optional<SwapFile> Create(const SwapFileOptions& options = {}) noexcept {
        std::unique_ptr<QORSysSwapFile, Closer> file(new (std::nothrow) QORSysSwapFile,
                                                     Closer{options.removeFile});
        if (!file) return std::nullopt;
        const std::size_t minimum =
            options.minimumZoneBytes != 0 ? options.minimumZoneBytes : options.zoneBytes;
        if (file->Initialize(0, options.zoneBytes, minimum, options.capacityBytes) !=
            QORSysSwapSuccess)
            return std::nullopt;
        file->GiveBackCharges(options.giveBackCharges);
        file->ReloadObjectsAlone(options.reloadObjectsAlone); // nothing on disk yet: accepted
        return SwapFile(std::move(file));
    }
    // Throws std::bad_alloc when not even the minimum zone can be had.
    explicit SwapFile(const SwapFileOptions& options = {})
        : SwapFile(detail::OrThrow(Create(options))) {}

    QORSysSwapFile* get() const noexcept { return file_.get(); }

    // A new T in the zone, built as T(get(), args...): T's constructor takes the swap file first
    // and hands it to QORSysSwappable. Empty when the zone or the file cannot take it.
    template <typename T, typename... Args> SwapHandle<T> make(Args&&... args) {
        T* object =
            new (static_cast<void*>(get()), nullptr, 0) T(get(), std::forward<Args>(args)...);
        return SwapHandle<T>(object);
    }
    // Sends the object to disk now; true also when it was there already.
    template <typename T> bool swap_out(const SwapHandle<T>& handle) {
        return handle.permanent() != nullptr &&
               file_->SwapOutObject(handle.permanent()) == QORSysSwapSuccess;
    }
    // Swaps out the oldest objects until `bytes` are free in the zone.
    bool make_room(std::size_t bytes) {
        return file_->SwapOutOldestObjects(bytes) == QORSysSwapSuccess;
    }

    QORSysSwapStatistics statistics() const {
        QORSysSwapStatistics figures{};
        file_->GetStatistics(&figures);
        return figures;
    }
    // The zone: a general pool, to report or measure (never to destroy).
    PoolRef zone() const { return PoolRef(statistics().zonePool, PoolKind::General); }
    // The file's path; empty when it cannot be read.
    std::string path() const { return PathOf(*file_); }
    // The listing of the objects in memory, oldest first; returns their count.
    std::size_t list(std::FILE* stream, const char* tag = "Zone", bool detailed = true) {
        return file_->ListObjects(stream, tag, detailed ? 1 : 0);
    }

private:
    static std::string PathOf(QORSysSwapFile& file) {
        char path[4096];
        return file.GetFilePath(path, sizeof path) == QORSysSwapSuccess ? path : "";
    }
    struct Closer {
        bool removeFile;
        void operator()(QORSysSwapFile* file) const noexcept {
            QORSysSwapStatistics figures{};
            file->GetStatistics(&figures);
            const std::string path = removeFile ? PathOf(*file) : std::string();
            delete file; // empties the zone and closes the file
            if (figures.zonePool != nullptr)
                QORSysFlushPool(figures.zonePool, QORSysPoolFlag::FLUSH_DESTROY);
            if (!path.empty()) std::remove(path.c_str());
        }
    };
    explicit SwapFile(std::unique_ptr<QORSysSwapFile, Closer> file) noexcept
        : file_(std::move(file)) {}

    std::unique_ptr<QORSysSwapFile, Closer> file_;
};

} // namespace QORSys
