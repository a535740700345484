// The group controller's operations that other parts of the module use.
#pragma once

#include "python/function.hpp"

namespace gb {

// The member selection of a GroupController `self`, as the class defines
// it (what its own `get_member_controllers()` answers).
py::Ref select_members(PyObject* self);

// Notes the class's own `get_member_controllers` function, so that a
// command can tell a call of it from a call of an override.
void remember_own_member_selection(PyObject* controller_class);

// The spec of GroupController.set_volume (the volume hook hands it over).
const py::FunctionSpec& controller_set_volume();

}  // namespace gb
