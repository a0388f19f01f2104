// The listing of the objects a swap file holds in memory, oldest (next to go) first.
#include "SwapFileInternals.h"

#include <cstdio>
#include <initializer_list> // before AddressFormat.h: its loop over a brace list

#include "../platform/AddressFormat.h"

std::size_t QORSysSwapFile::DumpObjectsToSwap(FILE* stream, const char* tag, int detailed) {
    static constexpr qor::platform::AddressFormat kObjectLine("<0x%p-%-d/>\n");
    std::fprintf(stream, "<%s>\n", tag);
    std::size_t count = 0;
    std::uint64_t total = 0;
    for (QORSysSwappable* object = oldest; object != nullptr; object = object->newer) {
        const std::size_t size = object->GetSize();
        if (detailed)
            std::fprintf(stream, kObjectLine.text, qor::platform::AddressArg(object),
                         static_cast<int>(size));
        ++count;
        total += size;
    }
    std::fprintf(stream, "<count=%-d>\n", static_cast<int>(count));
    std::fprintf(stream, "<size=%-d>\n", static_cast<int>(static_cast<std::uint32_t>(total)));
    std::fprintf(stream, "</%s>\n", tag);
    return count;
}
