#pragma once

#include "base/InstallerContext.h"

// Fills in what a new run's context learns from the machine, in this order: a
// new request token, the machine identifier, the architecture, the default
// browser, the OS name, the country, the user-interface language; then the
// status 4 with no failure and the page property "osbits". Never fails: every
// query has its fallback value.
void GatherRunFacts(InstallerContext& context);
