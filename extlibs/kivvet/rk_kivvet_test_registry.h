// Test flavour only: the engines alive in the process, for RkKivvetTestFire.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_TEST_REGISTRY_H_
#define EXTLIBS_KIVVET_RK_KIVVET_TEST_REGISTRY_H_

namespace rkkivvet {

class RkKivvetEngine;

void RegisterTestEngine(RkKivvetEngine* engine);
// Waits while an event is being fired.
void UnregisterTestEngine(RkKivvetEngine* engine);

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_TEST_REGISTRY_H_
