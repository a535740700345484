// Function pointers for the `void*` fields of type and module slots.
#pragma once

#include <cstring>

namespace py {

// `function` as the `void*` a PyType_Slot or PyModuleDef_Slot holds.  POSIX
// makes function and object pointers interchangeable; the conversion is
// spelled out once here instead of as a conditionally-supported cast at
// every slot, so -Wconditionally-supported stays on for everything else
// (a C++ object passed through C varargs, above all).
template <class F>
void* slot(F* function) noexcept {
    static_assert(sizeof(F*) == sizeof(void*));
    void* pointer = nullptr;
    std::memcpy(&pointer, &function, sizeof pointer);
    return pointer;
}

}  // namespace py
