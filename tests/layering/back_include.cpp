// Compiled against the geometry library alone, as a file of that folder would
// be: it reaches up to the driver, which the layering forbids, so the build of
// this file must fail to find the header.
#include "driver/run.h"

void layering_back_include() { run_batch_stages(); }
