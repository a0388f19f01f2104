// Swappable objects, their permanent handles and smart handles.
// Age list invariant: oldest->older == nullptr, newest->newer == nullptr; an object on disk or
// destroyed is in no list and has both links null; the count of linked objects kept behind the
// page table == the list's length.
// A permanent handle is deleted only by its own RemoveObject, when its count drops to 0 while it
// refers to a live object.
#include "SwapFileInternals.h"

#include "../platform/Platform.h"

#include <new>

using qor::SwapFileInternals;

// ---- smart handle --------------------------------------------------------------------------

QORSysSwappable_hdl::QORSysSwappable_hdl(QORSysSwappableHdl* permanent) : handle(permanent) {}

QORSysSwappable_hdl::QORSysSwappable_hdl(QORSysSwappable* object) {
    if (object == nullptr) return;
    handle = object->GetPermanentHandle();
    if (handle != nullptr) handle->AddRefToObj(this);
}

QORSysSwappable_hdl::QORSysSwappable_hdl(const QORSysSwappable_hdl& other) : handle(other.handle) {
    if (handle != nullptr) handle->AddRefToObj(this);
}

QORSysSwappable_hdl& QORSysSwappable_hdl::operator=(const QORSysSwappable_hdl& other) {
    SetObjectRef(other.handle);
    return *this;
}

QORSysSwappable_hdl::~QORSysSwappable_hdl() {
    if (handle != nullptr) handle->ReleaseObj(this);
    handle = nullptr;
}

int QORSysSwappable_hdl::IsNull() { return handle == nullptr ? 1 : 0; }

// The new reference is taken before the old one is dropped, so a shared handle stays alive.
QORSysSwappableHdl* QORSysSwappable_hdl::SetObjectRef(QORSysSwappableHdl* permanent) {
    if (permanent != nullptr && permanent != handle) permanent->AddRefToObj(this);
    if (handle != nullptr && handle != permanent) handle->ReleaseObj(this);
    handle = permanent;
    return permanent;
}

void QORSysSwappable_hdl::SetObject(QORSysSwappable_hdl& other) { SetObjectRef(other.handle); }

QORSysSwappableHdl* QORSysSwappable_hdl::SetObject(QORSysSwappable* object) {
    if (object == nullptr) return SetObjectRef(nullptr);
    QORSysSwappableHdl* permanent = object->GetPermanentHandle();
    return permanent == nullptr ? nullptr : SetObjectRef(permanent);
}

QORSysSwappable* QORSysSwappable_hdl::GetObject() {
    return handle == nullptr ? nullptr : handle->GetObject();
}

// ---- swappable object ----------------------------------------------------------------------

void* QORSysSwappable::operator new(std::size_t size, void* swapFile, void*, int) noexcept {
    QORSysSwappable* memory = nullptr;
    if (swapFile == nullptr) return nullptr;
    static_cast<QORSysSwapFile*>(swapFile)->AllocateObject(size, &memory);
    return memory;
}

void QORSysSwappable::operator delete(void* block) { qor::zone::Release(block); }

void QORSysSwappable::operator delete(void* block, void*, void*, int) { qor::zone::Release(block); }

QORSysSwappable::QORSysSwappable(QORSysSwapFile* file, int) : swapFile(file) {
    handle = nullptr;
    if (swapFile != nullptr) LinkNewest();
}

QORSysSwappable::~QORSysSwappable() {
    if (swapFile != nullptr) {
        SwapFileInternals::LowerZoneUsed(*swapFile, GetSize());
        SwapFileInternals::GiveBackCharge(*swapFile, GetSize());
        SwapFileInternals::DropOrigin(*swapFile, this, false);
        Unlink();
        qor::debug::AfterOperation(*swapFile, "an object's destruction");
    }
    newer = older = nullptr;
    if (handle != nullptr) handle->object = 0;
    reserved = 0;
    swapFile = nullptr;
    handle = nullptr;
}

int QORSysSwappable::IsSwapAuthorized(QORSysSwapConditions) { return -1; }
long QORSysSwappable::SwappedOut() { return QORSysSwapSuccess; }
long QORSysSwappable::SwappedIn() { return QORSysSwapSuccess; }

unsigned long QORSysSwappable::GetRefCount() {
    return handle == nullptr ? 0 : handle->GetRefCount();
}

QORSysSwappableHdl* QORSysSwappable::GetPermanentHandle() {
    if (handle == nullptr) {
        void* memory = qor::platform::AllocateObjectMemory(sizeof(QORSysSwappableHdl));
        if (memory != nullptr) handle = new (memory) QORSysSwappableHdl(this, swapFile);
    }
    return handle;
}

std::size_t QORSysSwappable::GetSize() const { return qor::zone::BlockBytes(this); }

void QORSysSwappable::LinkNewest() {
    older = swapFile->newest;
    newer = nullptr;
    if (older != nullptr) older->newer = this;
    swapFile->newest = this;
    if (swapFile->oldest == nullptr) swapFile->oldest = this;
    SwapFileInternals::CountLinked(*swapFile, true);
}

// Requires: the object is linked, or both its links are null (then nothing changes).
void QORSysSwappable::Unlink() {
    const bool linked = newer != nullptr || older != nullptr || swapFile->newest == this;
    if (newer != nullptr)
        newer->older = older;
    else if (swapFile->newest == this)
        swapFile->newest = older;
    if (older != nullptr)
        older->newer = newer;
    else if (swapFile->oldest == this)
        swapFile->oldest = newer;
    newer = older = nullptr;
    if (linked) SwapFileInternals::CountLinked(*swapFile, false);
}

long QORSysSwappable::IsUsed() {
    if (swapFile == nullptr || swapFile->newest == nullptr || swapFile->newest == this)
        return QORSysSwapSuccess;
    Unlink();
    LinkNewest();
    return QORSysSwapSuccess;
}

long QORSysSwappable::UpdateHandles(std::size_t value) {
    if (handle != nullptr) handle->object = value;
    return QORSysSwapSuccess;
}

long QORSysSwappable::SwapIn() {
    LinkNewest();
    return SwappedIn();
}

long QORSysSwappable::SwapOut(QORSysSwapConditions) {
    Unlink();
    return SwappedOut();
}

// ---- permanent handle ----------------------------------------------------------------------

QORSysSwappableHdl::QORSysSwappableHdl(QORSysSwappable* obj, QORSysSwapFile*)
    : object(reinterpret_cast<std::uintptr_t>(obj)),
      swapFile(obj != nullptr ? obj->swapFile : nullptr) {}

QORSysSwappableHdl* QORSysSwappableHdl::operator=(QORSysSwappable* obj) {
    if (object == 0 && obj != nullptr) {
        object = reinterpret_cast<std::uintptr_t>(obj);
        if (swapFile == nullptr) swapFile = obj->swapFile;
    }
    return this;
}

QORSysSwappableHdl* QORSysSwappableHdl::SetObject(QORSysSwappable* obj) {
    return this->operator=(obj);
}

int QORSysSwappableHdl::IsSwapped() { return static_cast<int>(object & qor::kLocatorTag); }
int QORSysSwappableHdl::IsNull() { return object == 0 ? 1 : 0; }
int QORSysSwappableHdl::IsDead() { return 0; }
unsigned long QORSysSwappableHdl::GetRefCount() { return refCount; }
unsigned long QORSysSwappableHdl::AddRefToObj(void*) { return ++refCount; }

unsigned long QORSysSwappableHdl::ReleaseObj(void*) {
    if (refCount == 0) return 0;
    const unsigned long remaining = --refCount;
    if (remaining == 0) {
        CallDeathOnObject();
        RemoveObject(); // may delete this handle
    }
    return remaining;
}

long QORSysSwappableHdl::CallDeathOnObject() {
    if (IsSwapped()) GetObject();
    return IsSwapped() || IsNull() || IsDead() ? QORSysSwapFailure : QORSysSwapSuccess;
}

long QORSysSwappableHdl::RemoveObject() {
    if (IsSwapped() && swapFile != nullptr) swapFile->RecallObject(this);
    if (IsSwapped() || IsNull()) return QORSysSwapFailure;
    auto* dying = reinterpret_cast<QORSysSwappable*>(object);
    // Out of the age list before its destructor runs: a destructor that releases handles may
    // bring other objects back, and making room for them must not send this one out half
    // destroyed. The base destructor's own unlinking then finds nothing to do.
    if (dying->swapFile != nullptr) dying->Unlink();
    delete dying; // clears `object` through the destructor
    object = 0;
    this->QORSysSwappableHdl::~QORSysSwappableHdl(); // no virtual destructor: this class's own
    qor::platform::ReleaseObjectMemory(this);
    return QORSysSwapSuccess;
}

QORSysSwappable* QORSysSwappableHdl::GetObject() {
    if (object == 0 || !(object & qor::kLocatorTag))
        return reinterpret_cast<QORSysSwappable*>(object);
    if (swapFile == nullptr) return nullptr;
    QORSysSwappable* back = SwapFileInternals::BringBackLocated(*swapFile, object);
    if (back != nullptr) object = reinterpret_cast<std::uintptr_t>(back);
    return qor::debug::AfterOperation(*swapFile, "GetObject", back);
}
