// Swap-file classes: objects that live in a bounded zone and move to a disk file when the zone is
// full, reached again through handles. Declared here; the implementation comes with the swap
// file subsystem.
#pragma once

#include "QORSysAllocator.h"

class QORSysSwapFile;
class QORSysSwappable;
class QORSysSwappableHdl;
class QORSysSwappable_hdl;
