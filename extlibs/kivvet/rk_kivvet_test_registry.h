// Test flavour only: the engines alive in the process, for RkKivvetTestFire,
// and the ids of the last ResetSyncVersion, for RkKivvetTestLastReset.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_TEST_REGISTRY_H_
#define EXTLIBS_KIVVET_RK_KIVVET_TEST_REGISTRY_H_

#include <vector>

#include "rk_kivvet_interface.h"

namespace rkkivvet {

class RkKivvetEngine;

void RegisterTestEngine(RkKivvetEngine* engine);
// Waits while an event is being fired.
void UnregisterTestEngine(RkKivvetEngine* engine);
void RecordTestReset(const std::vector<RkGuid>& ids);

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_TEST_REGISTRY_H_
