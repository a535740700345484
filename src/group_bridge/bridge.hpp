// GroupBridge: the group's virtual AirPlay receiver.  Its members live in
// files by concern; the class table lists them in definition order.
#pragma once

#include "python/function.hpp"

namespace gb {

// Identity strings shared by the group and the bridge.
inline constexpr char kGroupId[] = "group_all";
inline constexpr char kGroupHardware[] = "GROUP";
inline constexpr char kSourceName[] = "airplay1";

// State, display name and snapshot.
extern const py::FunctionSpec kBridgeInit;
extern const py::FunctionSpec kBridgeDeviceName;
extern const py::FunctionSpec kBridgeSnapshot;
// Audio lease.
extern const py::FunctionSpec kBridgeAcquireAudio;
extern const py::FunctionSpec kBridgeReleaseAudio;

}  // namespace gb
