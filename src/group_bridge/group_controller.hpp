// The group controller's operations that other parts of the module use.
#pragma once

#include "python/function.hpp"

namespace gb {

// The member selection of a GroupController `self`, as the class defines
// it (what its own `get_member_controllers()` answers).
py::Ref select_members(PyObject* self);

// GroupController's commands, which the bridge calls on its controller
// (through py::call_method_of, so a host's own controller or an override
// is called as it is).
struct ControllerMethods {
    const py::FunctionSpec& play_url;
    const py::FunctionSpec& stop;
    const py::FunctionSpec& pause;
    const py::FunctionSpec& resume;
    const py::FunctionSpec& set_volume;
    const py::FunctionSpec& get_status;
    const py::FunctionSpec& get_member_controllers;
};
const ControllerMethods& controller_methods();

}  // namespace gb
