// Test flavour only: the engines alive in the process, for RkKivvetTestFire;
// the ids of the last ResetSyncVersion, for RkKivvetTestLastReset; the calls
// that carried a route's arguments, for RkKivvetTestCalls; the answers set by
// RkKivvetTestSetContentPath and RkKivvetTestSetNodesUnder.
#ifndef EXTLIBS_KIVVET_RK_KIVVET_TEST_REGISTRY_H_
#define EXTLIBS_KIVVET_RK_KIVVET_TEST_REGISTRY_H_

#include <initializer_list>
#include <string>
#include <vector>

#include "rk_kivvet_interface.h"

namespace rkkivvet {

class RkKivvetEngine;

void RegisterTestEngine(RkKivvetEngine* engine);
// Waits while an event is being fired.
void UnregisterTestEngine(RkKivvetEngine* engine);
void RecordTestReset(const std::vector<RkGuid>& ids);
// One line: the operation's name and its arguments, joined by spaces.
void RecordTestCall(std::initializer_list<std::string> parts);
// True, with *path set, when the test chose the content path of this id.
bool TestContentPath(const std::string& id, std::string* path);
// True, with *text set, when the test chose the node list.
bool TestNodesUnder(std::string* text);

}  // namespace rkkivvet

#endif  // EXTLIBS_KIVVET_RK_KIVVET_TEST_REGISTRY_H_
