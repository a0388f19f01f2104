// Swap-file classes: objects derived from QORSysSwappable live in a bounded in-memory zone owned
// by a QORSysSwapFile; when the zone is full the least recently used objects are written to a
// disk file of 8192-byte pages and their memory is given back, and permanent handles bring them
// back on demand. One thread at a time per swap file and its objects. Guide: docs/swap-file.md.
//
// Every operation that reports success or failure returns QORSysSwapSuccess (0) or
// QORSysSwapFailure (0x80004005).
// Objects are moved with memcpy (to the file and back to a new address): a swappable class holds
// no pointer into itself and no raw pointer to another swappable object (it holds handles).
#pragma once

#include "QORSysAllocator.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

class QORSysSwapFile;
class QORSysSwappable;
class QORSysSwappableHdl;
class QORSysSwappable_hdl;
class QORSysSwapFileTestAccess;
namespace qor {
class SwapFileInternals;
}

constexpr long QORSysSwapSuccess = 0;           // every swap-file operation that succeeded
constexpr long QORSysSwapFailure = 0x80004005L; // every failure; no other code exists

// Why an object is being swapped out; the swap file passes QORSysSwapZoneFull. Neither the base
// classes nor the swap file inspect it.
enum QORSysSwapConditions { QORSysSwapNoCondition = 0, QORSysSwapZoneFull = 1 };

// Smart handle: holds one counted reference on an object's permanent handle; the last reference
// brings the object back if it is on disk and destroys it (and its permanent handle). QORSys.hpp
// has a ready typed one, QORSys::SwapHandle<T>. Or derive from it to reach the object (GetObject
// is protected):
//     struct NoteRef : QORSysSwappable_hdl {
//         using QORSysSwappable_hdl::QORSysSwappable_hdl;
//         Note* operator->() { return static_cast<Note*>(GetObject()); }
//     };
class QOR_SYS_API QORSysSwappable_hdl {
public:
    // An empty handle.
    QORSysSwappable_hdl() = default;
    // Takes over one reference that the caller already holds on `permanent` (adds none).
    explicit QORSysSwappable_hdl(QORSysSwappableHdl* permanent);
    // Takes a new reference on `object`'s permanent handle, made when it has none. Empty for a null
    // object or when the permanent handle cannot be allocated.
    explicit QORSysSwappable_hdl(QORSysSwappable* object);
    // Shares `other`'s permanent handle: one more reference.
    QORSysSwappable_hdl(const QORSysSwappable_hdl& other);
    // Takes a reference on `other`'s permanent handle before dropping its own.
    QORSysSwappable_hdl& operator=(const QORSysSwappable_hdl& other);
    // Drops its reference: the last one brings the object back if needed and destroys it.
    ~QORSysSwappable_hdl();

    virtual int IsNull(); // 1 when empty, else 0

protected:
    // Refers to `permanent` (null: empty), taking the new reference before dropping the old one.
    // Returns `permanent`.
    QORSysSwappableHdl* SetObjectRef(QORSysSwappableHdl* permanent);
    // Refers to what `other` refers to.
    void SetObject(QORSysSwappable_hdl& other);
    // Refers to `object`, its permanent handle made when missing, and returns that handle; a null
    // `object` empties the smart handle and returns null. Null also when the permanent handle
    // cannot be allocated: the smart handle then keeps what it had.
    QORSysSwappableHdl* SetObject(QORSysSwappable* object);
    // The object, brought back from disk when needed; null when empty or when it cannot return.
    // The address is valid until the next call that can make room in the zone.
    QORSysSwappable* GetObject();

    // The permanent handle referred to, or null. In a QORSysSwappable: the object's own permanent
    // handle (not a counted reference).
    QORSysSwappableHdl* handle = nullptr;
};

// Base of every swappable class. Objects are created only with this class's operator new, in the
// zone of the swap file also given to the constructor:
//     new (swapFile, nullptr, 0) MyObject(swapFile, ...)
// A swap-out copies the object to disk and releases its memory without running its destructor;
// a swap-in copies it back to a new address. Keep a smart handle, never the address.
class QOR_SYS_API QORSysSwappable : public QORSysSwappable_hdl {
public:
    // Memory for a new object from the zone of `swapFile` (a QORSysSwapFile*), swapping out the
    // oldest objects when the zone is full. The last two arguments are not used. Null (and no
    // constructor runs) when the zone or the file cannot take the object.
    static void* operator new(std::size_t size, void* swapFile, void*, int) noexcept;
    // Gives the object's memory back to its zone.
    static void operator delete(void* block);
    static void operator delete(void* block, void*, void*, int);

    // Not consulted by the swap file (the oldest object always goes); -1 here.
    virtual int IsSwapAuthorized(QORSysSwapConditions condition);
    // Called after the object's bytes were saved, before its memory goes; 0 here.
    virtual long SwappedOut();
    // Called on the object's new copy once it is back in memory; 0 here.
    virtual long SwappedIn();
    // The references on its permanent handle; 0 when it has none.
    virtual unsigned long GetRefCount();

    // The object's permanent handle, made on first request; null when it cannot be allocated.
    QORSysSwappableHdl* GetPermanentHandle();
    // The swap file given to the constructor.
    QORSysSwapFile* GetSwapFile() { return swapFile; }
    QORSysSwappable* operator->() { return this; }
    // Marks the object as just used: it becomes the last candidate for swapping out. Using an
    // object through its handle does not do this. Returns 0.
    long IsUsed();
    // Stores `value` (an address or a swap locator) in the permanent handle, when there is one.
    // Used by the swap file. Returns 0.
    long UpdateHandles(std::size_t value);
    // Links the object as the newest of its swap file, then returns SwappedIn(). Used by the swap
    // file on an object brought back.
    long SwapIn();
    // Unlinks the object from the age list, then returns SwappedOut(). Used by the swap file; the
    // condition is not used.
    long SwapOut(QORSysSwapConditions condition);

protected:
    // Links the object as the newest of `swapFile` (the same swap file as given to operator new).
    // The int is not used.
    QORSysSwappable(QORSysSwapFile* swapFile, int);
    // Unlinks the object, lowers its zone's count and empties its permanent handle (which
    // survives, answering IsNull() == 1).
    virtual ~QORSysSwappable();
    // Copies share the source's handle and links without being linked themselves.
    QORSysSwappable(const QORSysSwappable& other) = default;
    QORSysSwappable& operator=(const QORSysSwappable& other) = default;

private:
    friend class QORSysSwapFile;
    friend class QORSysSwappableHdl;
    friend class qor::SwapFileInternals;
    friend class QORSysSwapFileTestAccess;

    std::size_t GetSize() const; // block size from the header in front of the object
    void LinkNewest();           // at the newest end of the swap file's age list
    void Unlink();               // out of the age list; both links null

    std::uint64_t reserved = 0;
    QORSysSwapFile* swapFile = nullptr;
    QORSysSwappable* newer = nullptr; // age list: null for the newest
    QORSysSwappable* older = nullptr; // age list: null for the oldest
};

// Permanent handle: the object's address while it is in memory, its swap locator (bit 0 set)
// while it is on disk. Made by QORSysSwappable::GetPermanentHandle (global operator new, outside
// the zone); deletes itself when its last reference is released while it refers to an object.
class QOR_SYS_API QORSysSwappableHdl {
protected:
    // Brings the object back if it is on disk, destroys it and deletes this handle: 0. Failure
    // (nothing destroyed or deleted) when the handle refers to nothing or the object stays on
    // disk. Called by the last ReleaseObj.
    virtual long RemoveObject();

public:
    // A handle that refers to nothing.
    QORSysSwappableHdl() = default;
    // Copies every field, the reference count included.
    QORSysSwappableHdl(const QORSysSwappableHdl& other) = default;
    QORSysSwappableHdl& operator=(const QORSysSwappableHdl& other) = default;

    // Stores `object` when the handle refers to nothing; otherwise changes nothing. Returns this.
    virtual QORSysSwappableHdl* operator=(QORSysSwappable* object);
    // 1 while the object is on disk, else 0.
    virtual int IsSwapped();
    // 1 when the handle refers to nothing (never set, or its object was deleted), else 0.
    virtual int IsNull();
    // Always 0.
    virtual int IsDead();
    // Brings the object back if it is on disk: 0 when it is in memory then; failure when it
    // stays on disk or the handle refers to nothing.
    virtual long CallDeathOnObject();
    // The number of references (smart handles) held.
    virtual unsigned long GetRefCount();
    // Adds a reference; returns the new count. `holder` is not used.
    virtual unsigned long AddRefToObj(void* holder);
    // Drops a reference and returns the new count (0 and nothing done when there was none). The
    // last one calls CallDeathOnObject, then RemoveObject, which may delete this handle.
    virtual unsigned long ReleaseObj(void* holder);
    // Always -1 (true).
    int IsHandle() { return -1; }

protected:
    // Refers to `object` and its swap file (the second argument is not used); count 0.
    QORSysSwappableHdl(QORSysSwappable* object, QORSysSwapFile*);
    // As operator=(object); returns this.
    QORSysSwappableHdl* SetObject(QORSysSwappable* object);
    // The object, brought back from disk when needed; null when there is none or it cannot
    // return.
    QORSysSwappable* GetObject();

private:
    friend class QORSysSwappable;
    friend class QORSysSwappable_hdl;
    friend class QORSysSwapFile;
    friend class qor::SwapFileInternals;
    friend class QORSysSwapFileTestAccess;

    std::uint64_t object = 0;
    QORSysSwapFile* swapFile = nullptr;
    std::uint32_t refCount = 0;
    std::uint64_t reserved = 0;
};

// What a swap file holds right now, and the objects it has moved since Initialize, from
// QORSysSwapFile::GetStatistics.
struct QORSysSwapStatistics {
    void* zonePool;                   // the zone (a general pool); null before Initialize
    std::uint64_t objectsInZone;      // objects in memory
    std::uint64_t bytesInZone;        // their ZoneSize total, as charged to the zone
    std::uint64_t zoneCapacity;       // bytes the zone may hold
    std::uint64_t bytesEverAllocated; // ZoneSize of every object ever created (<= fileCapacity)
    std::uint64_t fileCapacity;       // bytes the file may hold, a multiple of 8192
    std::uint64_t pagesBooked;        // file pages in use (records on disk or in a buffer)
    std::uint64_t pagesWritten;       // booked pages whose newest contents are in the file
    std::uint64_t buffersHeld;        // pages held in memory (being filled, or kept after a
                                      // read), 8 KB each
    std::uint64_t bufferedBytes;      // record bytes in those buffers
    std::uint64_t fileBytes;          // size of the file on disk now
    std::uint64_t swapOuts;           // objects moved out of the zone since Initialize
    std::uint64_t swapIns;            // objects brought back into the zone since Initialize
};

// A zone of memory for swappable objects and the file of 8192-byte pages they go to. It must
// outlive every object and handle that uses it.
class QOR_SYS_API QORSysSwapFile {
public:
    // No zone, no file yet: call Initialize.
    QORSysSwapFile() = default;
    QORSysSwapFile(const QORSysSwapFile&) = delete;
    // Empties the zone (objects in memory vanish without their destructors), forgets the objects
    // on disk, drops page buffers not yet written and closes the file, which stays on disk.
    // Handles are not told.
    ~QORSysSwapFile();
    // Both objects then name the same zone, file and objects: use and destroy only one.
    QORSysSwapFile& operator=(const QORSysSwapFile& other);

    // Creates the zone of `zone` bytes (rounded up to 4096; when that cannot be had, sizes halfway
    // toward `minimumZone`), the page table for a file of `capacity` bytes (rounded up to 8192,
    // 2 GB at most) and the file <dir>/SwapFile<pid>_<n>.txt, <dir> being $QPL_UVT_TMP,
    // $QORSwapFileDir, $QORTemp or /tmp. The first argument is not used. `capacity` also bounds
    // the sum of ZoneSize over every object ever created through this swap file. Failure when not
    // even `minimumZone` can be had or when called twice. A file that cannot be opened prints
    // "Unable to open swap file: <reason>" and ends the process with exit code 1 (_exit).
    long Initialize(int, std::size_t zone, std::size_t minimumZone, std::size_t capacity);
    // What an object of `bytes` bytes is charged: `bytes` rounded up to 8, plus 8.
    std::size_t ZoneSize(std::size_t bytes) { return ((bytes + 7) & ~std::size_t{7}) + 8; }
    // The least a make-room round swaps out, in bytes (default 1: at least one object; 0: only
    // what the request needs). Returns 0.
    long TuneSwapOut(unsigned int minimumBytes);
    // With `on`, destroying an object gives its charge against `capacity` back (an object on disk
    // is brought back to be destroyed, which frees its file space), so that only the objects alive
    // count and a swap file whose objects come and go lasts as long as the program. Off by default
    // (the charges stay for good), unless QORSysSwapFileGiveBack=ON when Initialize ran.
    void GiveBackCharges(bool on) { chargesGivenBack = on; }
    // With `on`, bringing an object back from disk brings back that object alone: the other
    // records of its page stay on disk (or in the page's buffer) until they are asked for, and
    // the page is free once the last of them is back. Fewer objects move when the objects used
    // together were not swapped out together; a page with one object still on it stays booked.
    // Off by default (a page comes back whole), unless QORSysSwapFileObjectReload=ON when
    // Initialize ran. Can be changed only while no object is on disk: failure otherwise.
    long ReloadObjectsAlone(bool on);
    // These three do nothing and return 0.
    long FreeAll() { return QORSysSwapSuccess; }
    long SwapIn() { return QORSysSwapSuccess; }
    long SwapOut() { return QORSysSwapSuccess; }

    // Sends the handle's object to disk now. 0, also when it is already on disk; failure for a
    // null handle or object, or when the file has no room (the object then stays in memory).
    long SwapOutObject(QORSysSwappableHdl* handle);
    // One make-room round: swaps out the oldest objects until `bytes` are free in the zone and at
    // least the TuneSwapOut minimum has gone. Failure when `bytes` exceeds the zone, the zone holds
    // nothing, or a swap-out fails.
    long SwapOutOldestObjects(std::size_t bytes);
    // Memory for an object of `size` bytes (operator new uses it): *out receives it, null on
    // failure (size above the zone, file capacity used up, no room even after swapping out).
    long AllocateObject(std::size_t size, QORSysSwappable** out);
    // Brings the handle's object back when it is on disk, with every object of its page (or alone,
    // see ReloadObjectsAlone). 0, also
    // when it could not come back (IsSwapped() then still answers 1); failure for a null handle or
    // a handle that refers to nothing.
    long RecallObject(QORSysSwappableHdl* handle);
    // Gives an object's memory back to the zone without running its destructor or unlinking it:
    // for memory whose object was already destroyed. Failure for null.
    long DeallocateObject(QORSysSwappable* object);

    // Fills *out with what the swap file holds now: walks the objects in memory, the page table
    // and the buffers (time linear in all three). Failure for null.
    long GetStatistics(QORSysSwapStatistics* out);
    // The path of the open file into buffer (truncated, always terminated); 0 when it fits.
    // Failure when no file is open or `bytes` is 0.
    long GetFilePath(char* buffer, std::size_t bytes);
    // Writes the listing of the objects in memory, oldest first (as DumpObjectsToSwap: "<tag>",
    // one "<0xADDRESS-size/>" line each when `detailed` is not 0, "<count=N>", "<size=BYTES>",
    // "</tag>") and returns their count.
    std::size_t ListObjects(FILE* stream, const char* tag, int detailed);

private:
    friend class QORSysSwappable;
    friend class QORSysSwappableHdl;
    friend class qor::SwapFileInternals;
    friend class QORSysSwapFileTestAccess; // tests and diagnostics (DumpObjectsToSwap)
    struct PreSwapPage;                    // a page being filled in memory

    // Moves one object to the file (page buffer or run of pages), releases its memory and gives
    // its permanent handle (and `handle`, when not null) the locator; *swappedBytes gets its size.
    long EffectiveSwapOut(QORSysSwappable* object, QORSysSwappableHdl* handle,
                          unsigned int* swappedBytes);
    // Writes `length` bytes at the start of `page` and books the pages it covers.
    long DirectCopyToFile(int page, int, void* buffer, std::size_t length);
    // Returns one page to the free pages of the page table.
    long FreeIndex(int page);
    // A block of the zone, swapping out the oldest objects when needed; null when none.
    void* FindAvailableZoneInPool(std::size_t size);
    // Reads a page back, every record on it; *out gets the object whose record was at `offset`.
    long SwapInPage(int page, std::size_t offset, QORSysSwappable** out, char* tail,
                    int tailLength);
    // Takes the buffer of `page` out of the buffer list (the caller owns it); null when none.
    void* PageInPreSwapSpace(int page);
    // The start of the object's block header (16 bytes before it).
    void* RealAddress(QORSysSwappable* object);
    // Writes "<tag>", one "<0xADDRESS-size/>" line per object in memory (oldest first) when
    // `detailed` is not 0, "<count=N>", "<size=BYTES>" and "</tag>"; returns the count.
    std::size_t DumpObjectsToSwap(FILE* stream, const char* tag, int detailed);

    void* pool = nullptr;                // the zone: a general pool
    unsigned char* pageIndex = nullptr;  // per page: 0 used, else the free run from it
    FILE* stream = nullptr;              // the open file
    std::uint64_t zoneCapacity = 0;      // bytes the zone may hold
    std::uint64_t zoneUsed = 0;          // bytes of objects counted in the zone
    std::uint64_t fileCapacity = 0;      // bytes, a multiple of 8192
    std::uint64_t allocatedTotal = 0;    // ZoneSize of every object created; lowered only when
                                         // charges are given back
    std::int32_t pageCount = 0;          // pages of the file
    std::int32_t firstFreePage = 0;      // lowest free page, pageCount when none
    std::int32_t pageHighWater = 0;      // every page from here on is free
    PreSwapPage* preSwapPages = nullptr; // pages being filled in memory
    QORSysSwappable* oldest = nullptr;   // age list: the next to go
    QORSysSwappable* newest = nullptr;   // age list: the last to go
    std::uint32_t minSwapOutBytes = 1;   // TuneSwapOut
    bool chargesGivenBack = false;       // GiveBackCharges (in what was padding)
    bool objectsReloadAlone = false;     // ReloadObjectsAlone (in what was padding)
};

// What one swap file holds and has moved, for sampling (QORSysGetSwapActivity).
struct QORSysSwapActivity {
    void* swapFile;                  // the QORSysSwapFile
    void* zonePool;                  // its zone (a general pool)
    std::uint64_t zoneCapacity;      // bytes the zone may hold
    std::uint64_t objectsInZone;     // objects in memory
    std::uint64_t bytesInZone;       // their ZoneSize total, as charged to the zone
    std::uint64_t swapOuts, swapIns; // objects moved since Initialize
};

// Lists every initialised swap file of the process, up to `capacity` of them, in `out` (null
// allowed when `capacity` is 0); returns how many there are. A swap file is listed from the end
// of a successful Initialize until its destructor starts; at most 64 are listed at once, a file
// initialised while 64 are listed stays off the list. Two objects that share a zone through
// operator= are listed each once, and the destruction of either takes both off the list. O(1) per
// swap file: reads counters, walks nothing. Allocates nothing and calls no hook (a hook library
// may call it). The counters are read without synchronisation: exact when called from the
// thread that uses the swap files, a snapshot that may mix moments otherwise, and a file must not
// be destroyed by another thread while the call runs.
extern "C" QOR_SYS_API long QORSysGetSwapActivity(QORSysSwapActivity* out, std::size_t capacity);
