// Run under valgrind's memcheck in the memcheck build (QOR_VALGRIND): four mistakes, each one
// memcheck error, and sound use around them that is none. tools/ci-valgrind.sh expects exactly
// "ERROR SUMMARY: 4 errors".
#include "QORSysAllocator.h"

#include <cstdio>

namespace {

void* New(std::size_t size, void* pool) { return QORSpecializedNew(size, pool, nullptr, 0); }

constexpr int kPaged = int(QORSysPoolFlag::PAGED);

// Every byte handed out is the caller's: no error.
void SoundUse(void* pool, int flags) {
    for (std::size_t size = 0; size < 300; size += 7) {
        auto* block = static_cast<volatile char*>(New(size, pool));
        for (std::size_t i = 0; i < size; ++i)
            block[i] = char(i);
        QORSpecializedDelete(const_cast<char*>(block), nullptr, flags);
    }
}

} // namespace

int main() {
    void* general = QORSysCreatePool(0, 0, "general");
    void* paged = QORSysCreatePool(kPaged, 0, "paged");
    SoundUse(reinterpret_cast<void*>(4), 0);
    SoundUse(general, 0);
    SoundUse(paged, kPaged);

    auto* fast = static_cast<volatile char*>(New(20, reinterpret_cast<void*>(4)));
    fast[20] = 1; // 1: one byte past a block of pool 4
    auto* released = static_cast<volatile char*>(New(40, general));
    New(40, general); // keeps the chunk from being reset
    QORSpecializedDelete(const_cast<char*>(released), nullptr);
    const char late = released[30]; // 2: a read after release, private general pool
    auto* slot = static_cast<volatile char*>(New(20, paged));
    slot[20] = 1;   // 3: one byte past a paged block
    New(24, paged); // keeps the page
    QORSpecializedDelete(const_cast<char*>(slot), nullptr, kPaged);
    slot[16] = 1; // 4: a write after release, paged pool
    std::printf("%d\n", late != 0);
    return 0;
}
