// The two classes the module defines.
#pragma once

#include "group_bridge/class_builder.hpp"

namespace gb {

extern const ClassSpec kGroupControllerClass;
extern const ClassSpec kGroupBridgeClass;

}  // namespace gb
