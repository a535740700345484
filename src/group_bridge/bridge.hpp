// GroupBridge: the group's virtual AirPlay receiver.  Its members live in
// files by concern; the class table lists them in definition order.
#pragma once

#include "python/function.hpp"

namespace gb {

// State, display name and snapshot.
extern const py::FunctionSpec kBridgeInit;
extern const py::FunctionSpec kBridgeDeviceName;
extern const py::FunctionSpec kBridgeSnapshot;
// Audio lease.
extern const py::FunctionSpec kBridgeAcquireAudio;
extern const py::FunctionSpec kBridgeReleaseAudio;
// Lifecycle.
extern const py::FunctionSpec kBridgeStart;
extern const py::FunctionSpec kBridgeStop;
// Receiver hooks.
extern const py::FunctionSpec kBridgeOnPlayStart;
extern const py::FunctionSpec kBridgeOnPlayStop;
extern const py::FunctionSpec kBridgeOnPlayPause;
extern const py::FunctionSpec kBridgeOnPlayResume;
extern const py::FunctionSpec kBridgeOnMetadataChange;
extern const py::FunctionSpec kBridgeOnProgressChange;
extern const py::FunctionSpec kBridgeOnVolumeChange;
// Playback.
extern const py::FunctionSpec kBridgeResolveAudioId;
extern const py::FunctionSpec kBridgePlayOnTarget;
extern const py::FunctionSpec kBridgeStopTarget;
extern const py::FunctionSpec kBridgePauseTarget;
// State poll.
extern const py::FunctionSpec kBridgeStartPoll;
extern const py::FunctionSpec kBridgePollTargetState;

}  // namespace gb
