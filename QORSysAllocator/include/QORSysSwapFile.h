// Swap-file classes: objects derived from QORSysSwappable live in a bounded in-memory zone owned
// by a QORSysSwapFile; when the zone is full the least recently used objects are written to a
// disk file of 8192-byte pages and their memory is given back, and permanent handles bring them
// back on demand. One thread at a time per swap file and its objects.
//
// Every operation that reports success or failure returns QORSysSwapSuccess (0) or
// QORSysSwapFailure (0x80004005).
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

constexpr long QORSysSwapSuccess = 0;
constexpr long QORSysSwapFailure = 0x80004005L;

// Why an object is being swapped out; the swap file passes QORSysSwapZoneFull. Neither the base
// classes nor the swap file inspect it.
enum QORSysSwapConditions { QORSysSwapNoCondition = 0, QORSysSwapZoneFull = 1 };

// Smart handle: holds one counted reference on an object's permanent handle; the last reference
// brings the object back if it is on disk and destroys it. Derive from it to reach the object.
class QOR_SYS_API QORSysSwappable_hdl {
public:
    QORSysSwappable_hdl() = default;
    // Takes over one reference that the caller already holds on `permanent`.
    explicit QORSysSwappable_hdl(QORSysSwappableHdl* permanent);
    explicit QORSysSwappable_hdl(QORSysSwappable* object);
    QORSysSwappable_hdl(const QORSysSwappable_hdl& other);
    QORSysSwappable_hdl& operator=(const QORSysSwappable_hdl& other);
    ~QORSysSwappable_hdl();

    virtual int IsNull(); // 1 when empty

protected:
    QORSysSwappableHdl* SetObjectRef(QORSysSwappableHdl* permanent);
    void SetObject(QORSysSwappable_hdl& other);
    QORSysSwappableHdl* SetObject(QORSysSwappable* object);
    // The object, brought back from disk when needed; null when empty or when it cannot return.
    QORSysSwappable* GetObject();

    QORSysSwappableHdl* handle = nullptr;
};

// Base of every swappable class. Objects are created only with this class's operator new, in the
// zone of the swap file also given to the constructor:
//     new (swapFile, nullptr, 0) MyObject(swapFile, ...)
class QOR_SYS_API QORSysSwappable : public QORSysSwappable_hdl {
public:
    // Null (and no constructor runs) when the zone or the file cannot take the object.
    static void* operator new(std::size_t size, void* swapFile, void*, int) noexcept;
    static void operator delete(void* block);
    static void operator delete(void* block, void*, void*, int);

    virtual int IsSwapAuthorized(QORSysSwapConditions condition); // -1
    virtual long SwappedOut();                                    // notification, 0
    virtual long SwappedIn();                                     // notification, 0
    virtual unsigned long GetRefCount();

    // The object's permanent handle, made on first request; null when it cannot be allocated.
    QORSysSwappableHdl* GetPermanentHandle();
    QORSysSwapFile* GetSwapFile() { return swapFile; }
    QORSysSwappable* operator->() { return this; }
    // Marks the object as just used: it becomes the last candidate for swapping out.
    long IsUsed();
    long UpdateHandles(std::size_t value);
    long SwapIn();
    long SwapOut(QORSysSwapConditions condition);

protected:
    QORSysSwappable(QORSysSwapFile* swapFile, int);
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
    void LinkNewest();
    void Unlink();

    std::uint64_t reserved = 0;
    QORSysSwapFile* swapFile = nullptr;
    QORSysSwappable* newer = nullptr;
    QORSysSwappable* older = nullptr;
};

// Permanent handle: the object's address while it is in memory, its swap locator (bit 0 set)
// while it is on disk. Deletes itself when its last reference is released.
class QOR_SYS_API QORSysSwappableHdl {
protected:
    virtual long RemoveObject();

public:
    QORSysSwappableHdl() = default;
    QORSysSwappableHdl(const QORSysSwappableHdl& other) = default;
    QORSysSwappableHdl& operator=(const QORSysSwappableHdl& other) = default;

    // Stores `object` when the handle refers to nothing; otherwise changes nothing.
    virtual QORSysSwappableHdl* operator=(QORSysSwappable* object);
    virtual int IsSwapped();
    virtual int IsNull();
    virtual int IsDead();
    virtual long CallDeathOnObject();
    virtual unsigned long GetRefCount();
    virtual unsigned long AddRefToObj(void* holder);
    virtual unsigned long ReleaseObj(void* holder);
    int IsHandle() { return -1; }

protected:
    QORSysSwappableHdl(QORSysSwappable* object, QORSysSwapFile*);
    QORSysSwappableHdl* SetObject(QORSysSwappable* object);
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

class QOR_SYS_API QORSysSwapFile {
public:
    QORSysSwapFile() = default;
    QORSysSwapFile(const QORSysSwapFile&) = delete;
    ~QORSysSwapFile();
    // Both objects then name the same zone, file and objects: use and destroy only one.
    QORSysSwapFile& operator=(const QORSysSwapFile& other);

    // Creates the zone (shrinking toward minimumZone when `zone` cannot be had), the page table
    // and the file. A file that cannot be opened ends the process with exit code 1.
    long Initialize(int, std::size_t zone, std::size_t minimumZone, std::size_t capacity);
    std::size_t ZoneSize(std::size_t bytes) { return ((bytes + 7) & ~std::size_t{7}) + 8; }
    long TuneSwapOut(unsigned int minimumBytes);
    long FreeAll() { return QORSysSwapSuccess; }
    long SwapIn() { return QORSysSwapSuccess; }
    long SwapOut() { return QORSysSwapSuccess; }

    long SwapOutObject(QORSysSwappableHdl* handle);
    long SwapOutOldestObjects(std::size_t bytes);
    long AllocateObject(std::size_t size, QORSysSwappable** out);
    long RecallObject(QORSysSwappableHdl* handle);
    long DeallocateObject(QORSysSwappable* object);

private:
    friend class QORSysSwappable;
    friend class QORSysSwappableHdl;
    friend class qor::SwapFileInternals;
    friend class QORSysSwapFileTestAccess;
    struct PreSwapPage;

    long EffectiveSwapOut(QORSysSwappable* object, QORSysSwappableHdl* handle,
                          unsigned int* swappedBytes);
    long DirectCopyToFile(int page, int, void* buffer, std::size_t length);
    long FreeIndex(int page);
    void* FindAvailableZoneInPool(std::size_t size);
    long SwapInPage(int page, std::size_t offset, QORSysSwappable** out, char* tail,
                    int tailLength);
    void* PageInPreSwapSpace(int page);
    void* RealAddress(QORSysSwappable* object);
    std::size_t DumpObjectsToSwap(FILE* stream, const char* tag, int detailed);

    void* pool = nullptr;
    unsigned char* pageIndex = nullptr;
    FILE* stream = nullptr;
    std::uint64_t zoneCapacity = 0;
    std::uint64_t zoneUsed = 0;
    std::uint64_t fileCapacity = 0;
    std::uint64_t allocatedTotal = 0;
    std::int32_t pageCount = 0;
    std::int32_t firstFreePage = 0;
    std::int32_t pageHighWater = 0;
    PreSwapPage* preSwapPages = nullptr;
    QORSysSwappable* oldest = nullptr;
    QORSysSwappable* newest = nullptr;
    std::uint32_t minSwapOutBytes = 1;
};
