#include "group_bridge/names.hpp"

namespace gb::names {

void intern_all() {
    if (asyncio) return;
#define GB_INTERN_NAME(n)               \
    n = PyUnicode_InternFromString(#n); \
    if (!n) py::throw_error();
    GB_NAMES(GB_INTERN_NAME)
#undef GB_INTERN_NAME
}

}  // namespace gb::names
