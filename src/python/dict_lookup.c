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
#if PY_VERSION_HEX < 0x030D0000
#include <internal/pycore_object.h>
#endif
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

/* Where an object keeps its instance attributes: the keys the remembered
 * entries are for, and a dict, or on 3.12 the values array of a managed
 * dict that was never made.  Making that dict would cost the object its
 * specialised attribute and method bytecode in Python code for good, so it
 * is looked at as it is. */
typedef struct {
    PyDictKeysObject* keys;
    PyDictObject* dict; /* NULL for values kept without a dict */
    PyObject** values;  /* a split dict's or the object's own values; NULL for a combined dict */
} Attributes;

static void dict_attributes(PyDictObject* dict, Attributes* out) {
    out->keys = dict->ma_keys;
    out->dict = dict;
    out->values = dict->ma_values ? dict->ma_values->values : NULL;
}

/* `o`'s attributes, looked at without making a dict; 0 when it has none. */
static inline __attribute__((always_inline)) int attributes_of(PyObject* o, Attributes* out) {
    PyObject* dict;
#if PY_VERSION_HEX < 0x030D0000
    if (Py_TYPE(o)->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(o);
        if (_PyDictOrValues_IsValues(dorv)) {
            out->keys = ((PyHeapTypeObject*)Py_TYPE(o))->ht_cached_keys;
            out->dict = NULL;
            out->values = _PyDictOrValues_GetValues(dorv)->values;
            return out->keys != NULL;
        }
        dict = _PyDictOrValues_GetDict(dorv);
    } else
#endif
    {
        PyObject** slot = _PyObject_GetDictPtr(o);
        dict = slot ? *slot : NULL;
    }
    if (dict == NULL) return 0;
    dict_attributes((PyDictObject*)dict, out);
    return 1;
}

/* Where entry `index` keeps its value when that entry holds `name` itself,
 * else NULL. */
static inline __attribute__((always_inline)) PyObject** slot_at(const Attributes* a, Py_ssize_t index, PyObject* name) {
    PyDictKeysObject* keys = a->keys;
    if (!DK_IS_UNICODE(keys) || index >= keys->dk_nentries) return NULL;
    if (DK_UNICODE_ENTRIES(keys)[index].me_key != name) return NULL;
    if (a->values == NULL) return &DK_UNICODE_ENTRIES(keys)[index].me_value;
#if PY_VERSION_HEX >= 0x030D0000
    if (index >= a->dict->ma_values->capacity) return NULL;
#endif
    /* A values array holds a slot for every entry its shared keys can ever
     * have. */
    return &a->values[index];
}

/* The position of the entry whose key is `name` in `keys`, found through
 * the hash index as the dict's own lookup probes it: the key `name` itself,
 * or with `by_equality` also an equal str.  -1 when the probe ends without
 * one (for an equal key met without `by_equality`, or a probing order this
 * code does not know, too); -2 for a probing order this code does not know
 * with `by_equality`.  A bounded walk either way; no Python code runs
 * (a str-keyed table holds exact str keys only). */
static Py_ssize_t position_of(PyDictKeysObject* keys, PyObject* name, Py_hash_t hash, int by_equality) {
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
        if (ix >= 0 && ix < keys->dk_nentries) {
            PyObject* key = entries[ix].me_key;
            if (key == name) return ix;
            if (by_equality && key != NULL && ((PyASCIIObject*)key)->hash == hash && PyUnicode_Compare(key, name) == 0)
                return ix;
        }
        perturb >>= 5;
        i = (i * 5 + perturb + 1) & mask;
    }
    return by_equality ? -2 : -1;
}

/* Points `entry` at position `ix` of `keys`, where `name` itself sits; the
 * type's word it holds for the same keys and name stays, since it does not
 * depend on the position. */
static void place(RememberedEntry* entry, PyDictKeysObject* keys, PyObject* name, Py_ssize_t ix) {
    if (entry->keys != keys || entry->name != name) {
        entry->keys = keys;
        entry->name = name;
        entry->plain_type_version = 0;
    }
    entry->index = ix;
}

/* Fills `entry` with where `keys` holds `name` itself, if it does. */
static void remember(PyDictKeysObject* keys, PyObject* name, RememberedEntry* entry) {
    if (!DK_IS_UNICODE(keys)) return;
    Py_hash_t hash = PyObject_Hash(name); /* an exact str's: cached, no Python code */
    if (hash == -1) {
        PyErr_Clear(); /* only a failed allocation could; then nothing is remembered */
        return;
    }
    Py_ssize_t ix = position_of(keys, name, hash, 0);
    if (ix >= 0) place(entry, keys, name, ix);
}

PyObject* group_bridge_dict_get(PyObject* op, PyObject* name) {
    Attributes a;
    dict_attributes((PyDictObject*)op, &a);
    RememberedEntry* entry = remembered_for(a.keys, name);
    if (entry->keys == a.keys && entry->name == name) {
        PyObject** slot = slot_at(&a, entry->index, name);
        if (slot && *slot) return *slot;
    }
    PyObject* value = PyDict_GetItemWithError(op, name);
    /* The lookup may have run a key's __eq__, which may have changed the
     * dict: the position is looked for afresh. */
    PyDictKeysObject* keys = ((PyDictObject*)op)->ma_keys;
    if (value && PyUnicode_CheckExact(name)) remember(keys, name, remembered_for(keys, name));
    return value;
}

void group_bridge_note_plain_attribute(PyObject* op, PyObject* name, unsigned int type_version) {
    PyDictKeysObject* keys = ((PyDictObject*)op)->ma_keys;
    RememberedEntry* entry = remembered_for(keys, name);
    if (entry->keys == keys && entry->name == name) entry->plain_type_version = type_version;
}

void group_bridge_note_written_attribute(PyObject* o, PyObject* name, unsigned int type_version) {
    Attributes a;
    if (type_version == 0 || !PyUnicode_CheckExact(name) || !attributes_of(o, &a)) return;
    RememberedEntry* entry = remembered_for(a.keys, name);
    /* A stale position (the name deleted and added again) is found afresh. */
    if (entry->keys != a.keys || entry->name != name || !slot_at(&a, entry->index, name)) remember(a.keys, name, entry);
    if (entry->keys == a.keys && entry->name == name) entry->plain_type_version = type_version;
}

PyObject** group_bridge_dict_ptr(PyObject* o) {
#if PY_VERSION_HEX < 0x030D0000
    if (Py_TYPE(o)->tp_flags & Py_TPFLAGS_MANAGED_DICT) {
        PyDictOrValues* dorv = _PyObject_DictOrValuesPointer(o);
        return _PyDictOrValues_IsValues(*dorv) ? NULL : &dorv->dict;
    }
#endif
    return _PyObject_GetDictPtr(o);
}

int group_bridge_kept_value(PyObject* o, PyObject* name, unsigned int type_version, PyObject** value) {
    *value = NULL;
    Attributes a;
    if (!attributes_of(o, &a) || a.dict != NULL) return -1;
    if (!PyUnicode_CheckExact(name) || !DK_IS_UNICODE(a.keys)) return -2;
    Py_hash_t hash = PyObject_Hash(name); /* an exact str's: no Python code */
    if (hash == -1) {
        PyErr_Clear();
        return -2;
    }
    Py_ssize_t ix = position_of(a.keys, name, hash, 1);
    if (ix == -2) return -2;
    if (ix < 0 || a.values[ix] == NULL) return 0;
    *value = a.values[ix];
    if (DK_UNICODE_ENTRIES(a.keys)[ix].me_key == name) {
        RememberedEntry* entry = remembered_for(a.keys, name);
        place(entry, a.keys, name, ix);
        if (type_version) entry->plain_type_version = type_version;
    }
    return 1;
}

/* The slot that holds `o.name`, when a remembered entry vouches that the
 * plain instance item is what the attribute is (and `*a` where `o` keeps
 * it); else NULL. */
static inline __attribute__((always_inline)) PyObject** remembered_slot(PyObject* o, PyObject* name, Attributes* a) {
    if (!attributes_of(o, a)) return NULL;
    RememberedEntry* entry = remembered_for(a->keys, name);
    if (entry->keys != a->keys || entry->name != name || entry->plain_type_version != Py_TYPE(o)->tp_version_tag)
        return NULL;
    return slot_at(a, entry->index, name);
}

#if PY_VERSION_HEX < 0x030D0000
/* On 3.12, the first place a read or write of an object that keeps its
 * attributes as values (no dict made) looks: per name, the type whose
 * instances it last served, and the name's position in that type's shared
 * keys, as CPython's LOAD_ATTR_INSTANCE_VALUE caches them per instruction.
 * The type's version tag stands for everything the entry was checked
 * against (reads and writes both generic, no data descriptor `name`, the
 * same type and so the same shared keys, whose entries are only ever
 * appended); the shared keys are compared as well. */
typedef struct {
    const PyObject* name;         /* compared, never read */
    const PyDictKeysObject* keys; /* compared, never read */
    unsigned int type_version;    /* 0 (never a version): unused */
    Py_ssize_t index;
} ValuesEntry;

enum { kValuesEntries = 64 };
/* Read and written with the GIL held. */
static ValuesEntry values_entries[kValuesEntries];

static inline __attribute__((always_inline)) ValuesEntry* values_entry_for(const PyObject* name) {
    return &values_entries[((uintptr_t)name >> 4) % kValuesEntries];
}

/* Where `o` keeps `o.name` among its values, when the name's entry vouches
 * for `o`'s type; else NULL.  The shared keys are read only once the
 * version matched: `o`'s type is then the one the entry was filled for, a
 * heap type with a managed dict. */
static inline __attribute__((always_inline)) PyObject** values_slot(PyObject* o, PyObject* name) {
    PyTypeObject* type = Py_TYPE(o);
    ValuesEntry* entry = values_entry_for(name);
    if (entry->name != name || entry->type_version != type->tp_version_tag ||
        entry->keys != ((PyHeapTypeObject*)type)->ht_cached_keys)
        return NULL;
    PyDictOrValues dorv = *_PyObject_DictOrValuesPointer(o);
    if (!_PyDictOrValues_IsValues(dorv)) return NULL;
    return &_PyDictOrValues_GetValues(dorv)->values[entry->index];
}

/* Makes `name`'s entry serve `o`'s type, once a remembered entry (`index`
 * in `a`) has answered for an object keeping its values without a dict. */
static void note_values_position(PyObject* o, PyObject* name, const Attributes* a, Py_ssize_t index) {
    PyTypeObject* type = Py_TYPE(o);
    if (a->dict != NULL || type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr)
        return;
    ValuesEntry* entry = values_entry_for(name);
    entry->name = name;
    entry->keys = a->keys;
    entry->type_version = type->tp_version_tag;
    entry->index = index;
}
#endif

/* A read no ValuesEntry answers; out of line, so that one that does stays
 * short. */
static __attribute__((noinline)) PyObject* remembered_instance_attribute(PyObject* o, PyObject* name) {
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_version_tag == 0 || type->tp_getattro != PyObject_GenericGetAttr) return NULL;
    Attributes a;
    PyObject** slot = remembered_slot(o, name, &a);
    if (slot == NULL || *slot == NULL) return NULL;
#if PY_VERSION_HEX < 0x030D0000
    note_values_position(o, name, &a, slot - a.values);
#endif
    return *slot;
}

PyObject* group_bridge_instance_attribute(PyObject* o, PyObject* name) {
#if PY_VERSION_HEX < 0x030D0000
    PyObject** kept = values_slot(o, name);
    if (kept && *kept) return *kept;
#endif
    return remembered_instance_attribute(o, name);
}

#if PY_VERSION_HEX >= 0x030D0000
#define WATCHER_MASK DICT_WATCHER_MASK
#define VERSION_KEPT_MASK DICT_WATCHER_AND_MODIFICATION_MASK
#else
#define WATCHER_MASK DICT_VERSION_MASK
#define VERSION_KEPT_MASK DICT_VERSION_MASK
#endif

/* A write no ValuesEntry takes; out of line, as for reads. */
static __attribute__((noinline)) int remembered_set_instance_attribute(PyObject* o, PyObject* name, PyObject* value) {
    PyTypeObject* type = Py_TYPE(o);
    if (type->tp_version_tag == 0 || type->tp_setattro != PyObject_GenericSetAttr) return 0;
    Attributes a;
    PyObject** slot = remembered_slot(o, name, &a);
    PyDictObject* dict = a.dict;
    /* Only a value replaced in place: adding a name is the dict's (or the
     * object's) own work, and so is telling a watched dict's watchers. */
    if (slot == NULL || *slot == NULL || (dict && (dict->ma_version_tag & WATCHER_MASK))) return 0;
#if PY_VERSION_HEX < 0x030D0000
    note_values_position(o, name, &a, slot - a.values);
#endif
    PyObject* old = *slot;
    if (old == value) return 1;
    /* As the dict does for a value the collector may have to see (values
     * kept without a dict are the object's, which the collector sees). */
    if (dict && !PyObject_GC_IsTracked((PyObject*)dict) && PyObject_IS_GC(value) &&
        (!PyTuple_CheckExact(value) || PyObject_GC_IsTracked(value)))
        PyObject_GC_Track(dict);
    *slot = Py_NewRef(value);
    if (dict)
        dict->ma_version_tag = DICT_NEXT_VERSION(PyInterpreterState_Get()) | (dict->ma_version_tag & VERSION_KEPT_MASK);
    Py_DECREF(old); /* may run a finaliser: the store is complete */
    return 1;
}

int group_bridge_set_instance_attribute(PyObject* o, PyObject* name, PyObject* value) {
#if PY_VERSION_HEX < 0x030D0000
    /* Values kept without a dict have no watchers and are the object's,
     * which the collector sees. */
    PyObject** kept = values_slot(o, name);
    if (kept && *kept) {
        PyObject* old = *kept;
        if (old != value) {
            *kept = Py_NewRef(value);
            Py_DECREF(old); /* may run a finaliser: the store is complete */
        }
        return 1;
    }
#endif
    return remembered_set_instance_attribute(o, name, value);
}
