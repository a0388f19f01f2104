// What the heap engine's tests share: its figures read as a value.
#pragma once

#include "heap/Heap.h"

namespace qor::heap::test {

inline Figures Now() {
    Figures figures;
    GetFigures(&figures);
    return figures;
}

} // namespace qor::heap::test
