// Readable names of parameterised cases over pool flags: "Tracked_Locked", "Plain" for none.
#pragma once

#include "QORSysAllocator.h"

#include <string>
#include <utility>

namespace qor::test {

inline std::string PoolFlagNames(unsigned flags) {
    namespace Flag = QORSysPoolFlag;
    const std::pair<unsigned, const char*> kNames[] = {
        {Flag::TRACKED_FREE_LIST, "Tracked"}, {Flag::LOCKED, "Locked"},
        {Flag::FLUSHABLE, "Flushable"},       {Flag::VOLATILE, "Volatile"},
        {Flag::SINGLE_SIZE, "SingleSize"},    {Flag::CONSTANT_SUBPOOL_SIZE, "ConstantSize"},
        {Flag::NO_NEW_SUBPOOL, "NoNewChunk"}, {Flag::PAGED, "Paged"}};
    std::string name;
    for (const auto& [flag, word] : kNames)
        if (flags & flag) name += (name.empty() ? "" : "_") + std::string(word);
    return name.empty() ? "Plain" : name;
}

} // namespace qor::test
