/* Reading a dict under an interned str key, remembering where it was found.
 *
 * A lookup through the C API probes the dict's hash table on every call.
 * CPython's own attribute and global bytecode instead remembers at which
 * position of the dict's entries a name was found, and next time checks
 * that entry first.  This does the same for the module's reads of instance
 * attributes and globals: a small table remembers, per (dict keys, name),
 * the entry's position; an entry that still holds that very key object
 * answers, anything else asks the dict.  A remembered position is only ever
 * a guess checked against the dict itself, so a stale one costs a lookup,
 * never a wrong answer.
 *
 * An instance attribute read also needs the type's word that it has no
 * data descriptor of that name (which would take precedence over the
 * instance dict).  That is asked of the type once; the answer is kept with
 * the entry, stamped with the type's version tag, which CPython changes
 * whenever the type or one of its bases changes and never gives out twice.
 * A write of an attribute the dict already holds uses the same entry, and
 * replaces the value as the dict's own store does, as CPython's
 * `STORE_ATTR_WITH_HINT` does.
 *
 * Written in C: the entries' layout is in the interpreter's internal header,
 * which only C can include, and which describes the running version. */
#define Py_BUILD_CORE 1
#include <Python.h>
#include <internal/pycore_dict.h>
#include <stdint.h>

typedef struct {
    const PyDictKeysObject* keys; /* compared, never read */
    const PyObject* name;         /* compared, never read */
    Py_ssize_t index;
    /* The version of a type known to have no data descriptor `name`, whose
     * instance dicts this entry serves; 0 (never a version) for none. */
    unsigned int plain_type_version;
} RememberedEntry;

enum { kRemembered = 256 };
/* Read and written with the GIL held. */
static RememberedEntry remembered[kRemembered];

static RememberedEntry* remembered_for(const PyDictKeysObject* keys, const PyObject* name) {
    uintptr_t mix = ((uintptr_t)keys >> 4) ^ ((uintptr_t)name >> 3);
    return &remembered[(mix ^ (mix >> 8)) % kRemembered];
}

/* Where entry `index` keeps its value when that entry holds `name` itself,
 * else NULL. */
static PyObject** value_slot(PyDictObject* dict, Py_ssize_t index, PyObject* name) {
    PyDictKeysObject* keys = dict->ma_keys;
    if (!DK_IS_UNICODE(keys) || index >= keys->dk_nentries) return NULL;
    if (DK_UNICODE_ENTRIES(keys)[index].me_key != name) return NULL;
    if (dict->ma_values == NULL) return &DK_UNICODE_ENTRIES(keys)[index].me_value;
#if PY_VERSION_HEX >= 0x030D0000
    if (index >= dict->ma_values->capacity) return NULL;
#endif
    /* A split dict's values array holds a slot for every entry its shared
     * keys can ever have. */
    return &dict->ma_values->values[index];
}

/* The value at entry `index` when that entry holds `name` itself, else NULL. */
static PyObject* value_at(PyDictObject* dict, Py_ssize_t index, PyObject* name) {
    PyObject** slot = value_slot(dict, index, name);
    return slot ? *slot : NULL;
}

/* The position of the entry whose key is `name` itself in `keys`, found
 * through the hash index as the dict's own lookup probes it; -1 when the
 * probe meets no such entry (a key equal to `name` but another object, or a
 * probing order this code does not know).  A bounded walk either way. */
static Py_ssize_t position_of(PyDictKeysObject* keys, PyObject* name, Py_hash_t hash) {
    PyDictUnicodeEntry* entries = DK_UNICODE_ENTRIES(keys);
    size_t size = (size_t)1 << keys->dk_log2_size;
    size_t mask = size - 1;
    size_t perturb = (size_t)hash;
    size_t i = (size_t)hash & mask;
    for (size_t probes = 0; probes < size; ++probes) {
        Py_ssize_t ix;
        /* The index width follows the table's size, as in the dict itself. */
        if (keys->dk_log2_size < 8)
            ix = ((const int8_t*)keys->dk_indices)[i];
        else if (keys->dk_log2_size < 16)
            ix = ((const int16_t*)keys->dk_indices)[i];
        else if (keys->dk_log2_size < 32)
            ix = ((const int32_t*)keys->dk_indices)[i];
        else
            ix = ((const int64_t*)keys->dk_indices)[i];
        if (ix == DKIX_EMPTY) return -1;
        if (ix >= 0 && ix < keys->dk_nentries && entries[ix].me_key == name) return ix;
        perturb >>= 5;
        i = (i * 5 + perturb + 1) & mask;
    }
    return -1;
}

static void remember(PyDictObject* dict, PyObject* name, RememberedEntry* entry) {
    PyDictKeysObject* keys = dict->ma_keys;
    if (!DK_IS_UNICODE(keys)) return;
    Py_hash_t hash = PyObject_Hash(name); /* an exact str's: cached, no Python code */
    if (hash == -1) {
        PyErr_Clear(); /* only a failed allocation could; then nothing is remembered */
        return;
    }
    Py_ssize_t ix = position_of(keys, name, hash);
    if (ix < 0) return;
    entry->keys = keys;
    entry->name = name;
    entry->index = ix;
    entry->plain_type_version = 0;
}

PyObject* group_bridge_dict_get(PyObject* op, PyObject* name) {
    PyDictObject* dict = (PyDictObject*)op;
    RememberedEntry* entry = remembered_for(dict->ma_keys, name);
    if (entry->keys == dict->ma_keys && entry->name == name) {
        PyObject* value = value_at(dict, entry->index, name);
        if (value) return value;
    }
    PyObject* value = PyDict_GetItemWithError(op, name);
    /* The lookup may have run a key's __eq__, which may have changed the
     * dict: the position is looked for afresh. */
    if (value && PyUnicode_CheckExact(name)) remember(dict, name, remembered_for(dict->ma_keys, name));
    return value;
}

void group_bridge_note_plain_attribute(PyObject* op, PyObject* name, unsigned int type_version) {
    PyDictObject* dict = (PyDictObject*)op;
    RememberedEntry* entry = remembered_for(dict->ma_keys, name);
    if (entry->keys == dict->ma_keys && entry->name == name) entry->plain_type_version = type_version;
}

void group_bridge_note_written_attribute(PyObject* op, PyObject* name, unsigned int type_version) {
    PyDictObject* dict = (PyDictObject*)op;
    if (type_version == 0 || !PyUnicode_CheckExact(name)) return;
    RememberedEntry* entry = remembered_for(dict->ma_keys, name);
    if (entry->keys != dict->ma_keys || entry->name != name) remember(dict, name, entry);
    if (entry->keys == dict->ma_keys && entry->name == name) entry->plain_type_version = type_version;
}

/* The slot of `o`'s instance dict that holds `o.name`, when a remembered
 * entry vouches that the plain dict item is what the attribute is (and
 * `*dict_out` that dict); else NULL. */
static PyObject** instance_slot(PyObject* o, PyObject* name, PyDictObject** dict_out) {
    PyTypeObject* type = Py_TYPE(o);
    PyObject** slot = _PyObject_GetDictPtr(o);
    if (slot == NULL || *slot == NULL) return NULL;
    PyDictObject* dict = (PyDictObject*)*slot;
    RememberedEntry* entry = remembered_for(dict->ma_keys, name);
    if (entry->keys != dict->ma_keys || entry->name != name || entry->plain_type_version != type->tp_version_tag)
        return NULL;
    *dict_out = dict;
    return value_slot(dict, entry->index, name);
}

PyObject* group_bridge_instance_attribute(PyObject* o, PyObject* name) {
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_version_tag == 0 || type->tp_getattro != PyObject_GenericGetAttr) return NULL;
    PyDictObject* dict;
    PyObject** slot = instance_slot(o, name, &dict);
    return slot ? *slot : NULL;
}

#if PY_VERSION_HEX >= 0x030D0000
#define WATCHER_MASK DICT_WATCHER_MASK
#define VERSION_KEPT_MASK DICT_WATCHER_AND_MODIFICATION_MASK
#else
#define WATCHER_MASK DICT_VERSION_MASK
#define VERSION_KEPT_MASK DICT_VERSION_MASK
#endif

int group_bridge_set_instance_attribute(PyObject* o, PyObject* name, PyObject* value) {
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_version_tag == 0 || type->tp_setattro != PyObject_GenericSetAttr) return 0;
    PyDictObject* dict;
    PyObject** slot = instance_slot(o, name, &dict);
    /* Only a value replaced in place: adding a key is the dict's own work,
     * and so is telling a watched dict's watchers. */
    if (slot == NULL || *slot == NULL || (dict->ma_version_tag & WATCHER_MASK)) return 0;
    PyObject* old = *slot;
    if (old == value) return 1;
    if (!PyObject_GC_IsTracked((PyObject*)dict) && PyObject_IS_GC(value) &&
        (!PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value)))
        PyObject_GC_Track(dict); /* as the dict does for a value the collector may have to see */
    *slot = Py_NewRef(value);
    dict->ma_version_tag = DICT_NEXT_VERSION(PyInterpreterState_Get()) | (dict->ma_version_tag & VERSION_KEPT_MASK);
    Py_DECREF(old); /* may run a finaliser: the store is complete */
    return 1;
}
