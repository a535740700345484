// Builds the module's classes the way a class statement would: a namespace
// with __module__, __qualname__ and __doc__, then the members in order,
// passed to the plain class constructor `type(name, (), namespace)`.
#pragma once

#include "python/function.hpp"

namespace gb {

struct MemberSpec {
    const py::FunctionSpec* function;
    bool property;  // wrapped as a read-only property
};

struct ClassSpec {
    const char* name;
    const char* doc;
    const MemberSpec* members;
    int nmembers;
};

py::Ref make_class(const ClassSpec& spec, PyObject* module_name, PyObject* globals);

}  // namespace gb
