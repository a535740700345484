#include "group_bridge/names.hpp"

namespace gb::names {

void intern_all() {
    if (default_device_name) return;  // the last one made: all are there
#define GB_INTERN_NAME(n)               \
    n = PyUnicode_InternFromString(#n); \
    if (!n) py::throw_error();
#define GB_INTERN_TEXT(n, text)           \
    n = PyUnicode_InternFromString(text); \
    if (!n) py::throw_error();
    GB_NAMES(GB_INTERN_NAME)
    GB_TEXTS(GB_INTERN_TEXT)
#undef GB_INTERN_NAME
#undef GB_INTERN_TEXT
}

}  // namespace gb::names
