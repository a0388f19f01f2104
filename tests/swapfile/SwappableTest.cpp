// Swappable objects and their handles: the age list, the charging of the zone, permanent handles
// with their counts and smart handles sharing them; and the dump listing of the objects in memory.
#include "SwapFileTestSupport.h"

#include <functional>
#include <regex>

using namespace qor;
using namespace qor::test;

namespace {

// A class with fixed size, made with the placement form of the class's operator new.
class Note : public QORSysSwappable {
public:
    Note(QORSysSwapFile* file, int value) : QORSysSwappable(file, 0), number(value) {}
    ~Note() override = default;
    long SwappedOut() override { return ++outCalls, 0; }
    long SwappedIn() override { return ++inCalls, 0; }
    static inline int outCalls = 0, inCalls = 0;
    long number;
    char filler[88] = {};
};

class SwappableTest : public SwapFileTest {
protected:
    void SetUp() override {
        SwapFileTest::SetUp();
        file = &Open(65536, 4096, 1 << 20);
    }
    Note* NewNote(int value) { return new (file, nullptr, 0) Note(file, value); }

    QORSysSwapFile* file = nullptr;
};

std::string Captured(const std::function<void(FILE*)>& print) {
    char* text = nullptr;
    std::size_t length = 0;
    FILE* stream = open_memstream(&text, &length);
    print(stream);
    std::fclose(stream);
    std::string result(text, length);
    std::free(text);
    return result;
}

} // namespace

TEST_F(SwappableTest, OperatorNewChargesZoneSizeAndTheBlockCarriesThePoolHeader) {
    Note* note = NewNote(5);
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(SF::ZoneUsed(*file), file->ZoneSize(sizeof(Note)));
    EXPECT_EQ(SF::AllocatedTotal(*file), file->ZoneSize(sizeof(Note)));
    EXPECT_EQ(HeaderOf(note)->ownerWord, Addr(SF::Pool(*file)) | 1);
    EXPECT_EQ(HeaderOf(note)->sizeWord, sizeof(Note) + 16);
    EXPECT_EQ(note->GetSwapFile(), file);
    EXPECT_EQ(note->operator->(), note);
    EXPECT_EQ(note->GetRefCount(), 0u);
    EXPECT_EQ(SF::HandleOf(note), nullptr);
    EXPECT_EQ(note->IsSwapAuthorized(QORSysSwapZoneFull), -1);
    EXPECT_EQ(SF::RealAddress(*file, note), HeaderOf(note));
    EXPECT_EQ(SF::RealAddress(*file, nullptr), nullptr);
    delete note;
}

TEST_F(SwappableTest, AllocateObjectChargesZoneSizeToBothTotals) {
    QORSysSwappable* p = nullptr;
    ASSERT_EQ(file->AllocateObject(100, &p), 0);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(SF::ZoneUsed(*file), 112u);
    EXPECT_EQ(SF::AllocatedTotal(*file), 112u);
    EXPECT_GE(HeaderOf(p)->sizeWord, 120u);
    EXPECT_EQ(file->DeallocateObject(p), 0); // memory only: the totals stay
    EXPECT_EQ(SF::ZoneUsed(*file), 112u);
    EXPECT_EQ(file->DeallocateObject(nullptr), kFail);

    ASSERT_EQ(file->AllocateObject(64, &p), 0);
    const std::uint64_t freeBefore = SF::Pool(*file)->chunk.free;
    QORSysSwappable::operator delete(p, file, nullptr, 0); // the placement form releases too
    EXPECT_EQ(SF::Pool(*file)->chunk.free, freeBefore + 80);

    p = reinterpret_cast<QORSysSwappable*>(8);
    EXPECT_EQ(file->AllocateObject(SF::ZoneCapacity(*file) + 1, &p), kFail);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(file->AllocateObject(100, nullptr), kFail);
    EXPECT_EQ(SF::AllocatedTotal(*file), 112u + 72);
}

TEST_F(SwappableTest, AllocatedTotalLimitsEveryObjectEverMade) {
    Close(*file);
    file = &Open(65536, 4096, 2 * kPage); // 16384 bytes: 16 objects of ZoneSize 1008
    for (int i = 0; i < 16; ++i) {
        Blob* blob = MakeBlob(*file, 1016, i);
        ASSERT_NE(blob, nullptr) << i;
        delete blob;
    }
    EXPECT_EQ(SF::AllocatedTotal(*file), 16u * 1008);
    EXPECT_EQ(SF::Oldest(*file), nullptr);
    EXPECT_EQ(MakeBlob(*file, 1016, 16), nullptr);
    EXPECT_EQ(SF::AllocatedTotal(*file), 16u * 1008); // refused before it is counted
    Blob* smaller = MakeBlob(*file, 256, 17);         // 248 more still fit
    EXPECT_NE(smaller, nullptr);
    delete smaller;
}

TEST_F(SwappableTest, AgeListFollowsCreationUseAndDestruction) {
    Note* a = NewNote(1);
    Note* b = NewNote(2);
    Note* c = NewNote(3);
    EXPECT_EQ(AgeList(*file), (std::vector<QORSysSwappable*>{a, b, c}));

    EXPECT_EQ(c->IsUsed(), 0); // already the newest
    EXPECT_EQ(AgeList(*file), (std::vector<QORSysSwappable*>{a, b, c}));
    EXPECT_EQ(a->IsUsed(), 0);
    EXPECT_EQ(AgeList(*file), (std::vector<QORSysSwappable*>{b, c, a}));
    EXPECT_EQ(SF::Newer(a), nullptr);
    EXPECT_EQ(c->IsUsed(), 0); // from the middle
    EXPECT_EQ(AgeList(*file), (std::vector<QORSysSwappable*>{b, a, c}));

    const std::uint64_t used = SF::ZoneUsed(*file);
    delete a; // middle
    EXPECT_EQ(AgeList(*file), (std::vector<QORSysSwappable*>{b, c}));
    EXPECT_EQ(SF::ZoneUsed(*file), used - (sizeof(Note) + 16));
    delete c; // newest
    EXPECT_EQ(AgeList(*file), std::vector<QORSysSwappable*>{b});
    delete b; // the last: charged 8 bytes less than its block, so the total would go below 0
    EXPECT_EQ(AgeList(*file), std::vector<QORSysSwappable*>{});
    EXPECT_EQ(SF::ZoneUsed(*file), 0u);
    EXPECT_EQ(SF::Oldest(*file), nullptr);
}

TEST_F(SwappableTest, SmartHandlesShareOnePermanentHandleUntilTheLastGoes) {
    Blob* blob = MakeBlob(*file, 600, 9);
    QORSysSwappableHdl* permanent = nullptr;
    {
        BlobRef first(blob);
        permanent = first.Permanent();
        ASSERT_NE(permanent, nullptr);
        EXPECT_EQ(permanent, blob->GetPermanentHandle());
        EXPECT_EQ(SF::RefCount(permanent), 1u);
        EXPECT_EQ(SF::FileOf(permanent), file);
        {
            BlobRef second(first);
            BlobRef third(blob);
            EXPECT_EQ(blob->GetRefCount(), 3u);
            third = second; // same handle: no change
            third = third;
            EXPECT_EQ(permanent->GetRefCount(), 3u);
        }
        EXPECT_EQ(SF::RefCount(permanent), 1u);
        EXPECT_EQ(Blob::destroyed, 0);
        ASSERT_EQ(file->SwapOutObject(permanent), 0);
        EXPECT_TRUE(first.OnDisk());
    } // the last reference brings the object back, destroys it and deletes the handle
    EXPECT_EQ(Blob::destroyed, 1);
    EXPECT_EQ(SF::Oldest(*file), nullptr);
    EXPECT_EQ(SF::ZoneUsed(*file), 0u);
    EXPECT_EQ(SF::PageIndex(*file)[0], SF::PageCount(*file)); // the page was read back
    EXPECT_TRUE(PageBookkeepingHolds(*file));
}

TEST_F(SwappableTest, AssigningAnotherHandleDropsTheOldReferenceAfterTakingTheNew) {
    BlobRef a(MakeBlob(*file, 200, 1));
    BlobRef b(MakeBlob(*file, 200, 2));
    BlobRef empty;
    EXPECT_EQ(empty.IsNull(), 1);
    EXPECT_EQ(a.IsNull(), 0);
    a = b; // the first object loses its only reference
    EXPECT_EQ(Blob::destroyed, 1);
    EXPECT_EQ(SF::RefCount(b.Permanent()), 2u);
    EXPECT_TRUE(a.Get()->Intact(2));
    a = empty;
    EXPECT_EQ(a.IsNull(), 1);
    EXPECT_EQ(SF::RefCount(b.Permanent()), 1u);
    EXPECT_EQ(a.Get(), nullptr);
}

TEST_F(SwappableTest, SetObjectTakesTheObjectsHandleOrAnotherSmartHandles) {
    Blob* first = MakeBlob(*file, 200, 1);
    Blob* second = MakeBlob(*file, 200, 2);
    BlobRef ref, other(second);
    EXPECT_EQ(ref.SetObject(first), first->GetPermanentHandle());
    EXPECT_EQ(first->GetRefCount(), 1u);
    ref.SetObject(other); // the first object loses its only reference
    EXPECT_EQ(Blob::destroyed, 1);
    EXPECT_EQ(second->GetRefCount(), 2u);
    EXPECT_EQ(ref.SetObject(static_cast<QORSysSwappable*>(nullptr)), nullptr);
    EXPECT_EQ(ref.IsNull(), 1);
    EXPECT_EQ(second->GetRefCount(), 1u);
}

TEST_F(SwappableTest, ReleaseOnACountOfZeroDoesNothing) {
    Blob* blob = MakeBlob(*file, 200, 1);
    QORSysSwappableHdl* permanent = blob->GetPermanentHandle();
    EXPECT_EQ(SF::RefCount(permanent), 0u);
    EXPECT_EQ(permanent->ReleaseObj(nullptr), 0u);
    {
        BlobRef borrowed(permanent); // takes over a reference that nobody holds
        EXPECT_EQ(SF::RefCount(permanent), 0u);
    }
    EXPECT_EQ(Blob::destroyed, 0);
    EXPECT_EQ(SF::Object(permanent), Addr(blob));
    EXPECT_EQ(permanent->AddRefToObj(nullptr), 1u);
    EXPECT_EQ(permanent->CallDeathOnObject(), 0);
    EXPECT_EQ(permanent->ReleaseObj(nullptr), 0u); // the last one: destroyed and deleted
    EXPECT_EQ(Blob::destroyed, 1);
}

TEST_F(SwappableTest, DeletedObjectLeavesANullHandleThatNothingDeletes) {
    Blob* blob = MakeBlob(*file, 200, 1);
    QORSysSwappableHdl* permanent = nullptr;
    {
        BlobRef ref(blob);
        permanent = ref.Permanent();
        delete blob;
        EXPECT_EQ(permanent->IsNull(), 1);
        EXPECT_EQ(permanent->IsSwapped(), 0);
        EXPECT_EQ(permanent->CallDeathOnObject(), kFail);
        EXPECT_EQ(SF::RemoveObject(permanent), kFail);
        EXPECT_EQ(ref.Get(), nullptr);
    }
    // The last release found nothing to destroy: the handle is still allocated (ASan would
    // report the reads below otherwise) and is the caller's to free.
    EXPECT_EQ(SF::RefCount(permanent), 0u);
    EXPECT_EQ(permanent->IsNull(), 1);
    EXPECT_EQ(Blob::destroyed, 1);
    ::operator delete(permanent);
}

TEST_F(SwappableTest, PermanentHandleKeepsTheFirstObjectItIsGiven) {
    Note* a = NewNote(1);
    Note* b = NewNote(2);
    QORSysSwappableHdl standalone;
    EXPECT_EQ(standalone.IsNull(), 1);
    EXPECT_EQ(standalone.IsHandle(), -1);
    EXPECT_EQ(standalone.IsDead(), 0);
    EXPECT_EQ(standalone = a, &standalone);
    EXPECT_EQ(SF::Object(&standalone), Addr(a));
    standalone = b;
    EXPECT_EQ(SF::Object(&standalone), Addr(a));
    EXPECT_EQ(standalone.IsSwapped(), 0);

    QORSysSwappableHdl* ofB = b->GetPermanentHandle();
    ofB->AddRefToObj(nullptr);
    QORSysSwappableHdl copy(*ofB);
    EXPECT_EQ(SF::Object(&copy), Addr(b));
    EXPECT_EQ(SF::RefCount(&copy), 1u);
    copy = standalone;
    EXPECT_EQ(SF::Object(&copy), Addr(a));
    EXPECT_EQ(SF::RefCount(&copy), 0u);
    ofB->ReleaseObj(nullptr); // destroys b and deletes its handle
    EXPECT_EQ(AgeList(*file), std::vector<QORSysSwappable*>{a});
    delete a;
}

TEST_F(SwappableTest, SwapNotificationsReachTheDerivedClass) {
    Note* note = NewNote(42);
    BlobRef ref(note); // the handle only: never read as a blob
    ASSERT_EQ(file->SwapOutObject(ref.Permanent()), 0);
    EXPECT_EQ(Note::outCalls, 1);
    EXPECT_EQ(file->RecallObject(ref.Permanent()), 0);
    EXPECT_EQ(Note::inCalls, 1);
    EXPECT_EQ(reinterpret_cast<Note*>(ref.Object())->number, 42);
}

TEST_F(SwappableTest, DumpOfAnEmptyListHasFourLines) {
    std::size_t count = 99;
    EXPECT_EQ(Captured([&](FILE* s) { count = SF::Dump(*file, s, "Zone", 1); }),
              "<Zone>\n<count=0>\n<size=0>\n</Zone>\n");
    EXPECT_EQ(count, 0u);
}

TEST_F(SwappableTest, DumpListsTheObjectsInMemoryOldestFirst) {
    Blob* small = MakeBlob(*file, 120, 1);
    Blob* large = MakeBlob(*file, 4096, 2);
    BlobRef gone(MakeBlob(*file, 800, 3));
    ASSERT_EQ(file->SwapOutObject(gone.Permanent()), 0);
    unsigned char before[sizeof(QORSysSwapFile)];
    std::memcpy(before, static_cast<void*>(file), sizeof before);

    EXPECT_EQ(Captured([&](FILE* s) { EXPECT_EQ(SF::Dump(*file, s, "T", 0), 2u); }),
              "<T>\n<count=2>\n<size=4216>\n</T>\n");
    char lines[128];
    std::snprintf(lines, sizeof lines, "<0x%016lX-120/>\n<0x%016lX-4096/>\n", Addr(small),
                  Addr(large));
    const std::string detailed = Captured([&](FILE* s) { SF::Dump(*file, s, "T", 1); });
    EXPECT_EQ(detailed, std::string("<T>\n") + lines + "<count=2>\n<size=4216>\n</T>\n");
    EXPECT_TRUE(std::regex_search(detailed, std::regex("\n<0x[0-9A-F]{16}-120/>\n")));
    EXPECT_EQ(std::memcmp(before, static_cast<void*>(file), sizeof before), 0);
    EXPECT_EQ(AgeList(*file), (std::vector<QORSysSwappable*>{small, large}));
    delete small;
    delete large;
}
