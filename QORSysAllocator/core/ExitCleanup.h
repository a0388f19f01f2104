// The clean-up run from the module exit list when the configuration registered it: destroys the
// permanent and fixed fast pools and flushes the paged pools. The threaded pool and the
// application's own general pools are left alone.
#pragma once

namespace qor {

void RunExitCleanup();

} // namespace qor
