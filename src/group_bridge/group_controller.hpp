// The group controller's operations that the bridge uses from C++.
#pragma once

#include "python/ref.hpp"

namespace gb {

// `controller.get_member_controllers()` for a GroupController `self`.
py::Ref select_members(PyObject* self);

}  // namespace gb
