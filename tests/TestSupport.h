// What several test files share: the pool arguments by their QORSys.hpp names, readable names of
// flag sets for parameterised cases, the invariant checkers' account of a pool, and the text a
// call writes to a stream. (A check in a forked child: ForkedChild.h, which needs no library.)
#pragma once

#include "QORSys.hpp"
#include "QORSysAllocator.h"
#include "core/PoolCheck.h"

#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <tuple>
#include <utility>

namespace qor::test {

namespace Route = QORSys::Route;
using QORSys::ReserveRoom;

// "Tracked_Locked", "Plain" for none.
inline std::string PoolFlagNames(unsigned flags) {
    namespace Flag = QORSysPoolFlag;
    const std::pair<unsigned, const char*> kNames[] = {
        {Flag::TRACKED_FREE_LIST, "Tracked"}, {Flag::LOCKED, "Locked"},
        {Flag::FLUSHABLE, "Flushable"},       {Flag::VOLATILE, "Volatile"},
        {Flag::SINGLE_SIZE, "SingleSize"},    {Flag::CONSTANT_SUBPOOL_SIZE, "ConstantSize"},
        {Flag::NO_NEW_SUBPOOL, "NoNewChunk"}, {Flag::PAGED, "Paged"}};
    std::string name;
    for (const auto& [flag, word] : kNames)
        if (flags & flag) name.append(name.empty() ? "" : "_").append(word);
    return name.empty() ? "Plain" : name;
}

// "" or the checker's account of the first broken invariant of a general or paged pool.
template <class Pool> std::string Broken(Pool* pool) {
    CheckResult result;
    CheckInvariants(*pool, result);
    return result.Text();
}

// What `write` writes to the stream it is given.
template <class Write> std::string Written(Write write) {
    char* text = nullptr;
    std::size_t bytes = 0;
    FILE* stream = open_memstream(&text, &bytes);
    write(stream);
    std::fclose(stream);
    std::string written(text, bytes);
    std::free(text);
    return written;
}

} // namespace qor::test

// A pool's figures compared and printed field by field, so that a failure shows which differs.
inline auto FieldsOf(const QORPoolInfo& i) {
    return std::tie(i.flagBits, i.totalSize, i.freeSize, i.chunkCount, i.maxChunkFree,
                    i.minChunkFree, i.minChunkOccupation, i.maxChunkOccupation, i.occupation,
                    i.holeTotal, i.blockTotal, i.largestKnownHole, i.holeSizeUnknown);
}
inline bool operator==(const QORPoolInfo& a, const QORPoolInfo& b) {
    return FieldsOf(a) == FieldsOf(b);
}
inline void PrintTo(const QORPoolInfo& i, std::ostream* out) {
    *out << "{flagBits " << i.flagBits << ", totalSize " << i.totalSize << ", freeSize "
         << i.freeSize << ", chunkCount " << i.chunkCount << ", maxChunkFree " << i.maxChunkFree
         << ", minChunkFree " << i.minChunkFree << ", minChunkOccupation " << i.minChunkOccupation
         << ", maxChunkOccupation " << i.maxChunkOccupation << ", occupation " << i.occupation
         << ", holeTotal " << i.holeTotal << ", blockTotal " << i.blockTotal
         << ", largestKnownHole " << i.largestKnownHole << ", holeSizeUnknown " << i.holeSizeUnknown
         << "}";
}
