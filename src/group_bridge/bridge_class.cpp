#include <iterator>

#include "group_bridge/bridge.hpp"
#include "group_bridge/classes.hpp"

namespace gb {
namespace {

const MemberSpec kMembers[] = {
    {&kBridgeInit, false},
    {&kBridgeAcquireAudio, false},
    {&kBridgeReleaseAudio, false},
    {&kBridgeDeviceName, true},
    {&kBridgeStart, false},
    {&kBridgeStop, false},
    {&kBridgeOnPlayStart, false},
    {&kBridgeOnPlayStop, false},
    {&kBridgeOnPlayPause, false},
    {&kBridgeOnPlayResume, false},
    {&kBridgeOnMetadataChange, false},
    {&kBridgeOnProgressChange, false},
    {&kBridgeOnVolumeChange, false},
    {&kBridgeResolveAudioId, false},
    {&kBridgePlayOnTarget, false},
    {&kBridgeStopTarget, false},
    {&kBridgePauseTarget, false},
    {&kBridgeStartPoll, false},
    {&kBridgePollTargetState, false},
    {&kBridgeSnapshot, false},
};

}  // namespace

const ClassSpec kGroupBridgeClass{"GroupBridge", "全屋虚拟 AirPlay 桥接器，连接全屋组控制器与独立 AirPlayServer。",
                                  kMembers, static_cast<int>(std::size(kMembers))};

}  // namespace gb
