#include "python/function.hpp"

#include <string>
#include <string_view>

#include "python/object.hpp"
#include "python/slot.hpp"

namespace py {

namespace {

// What the Python function's statement calls: a builtin method whose self
// is one of these, naming the spec (and, for an observed start, the
// operation's qualified name).  Holds only a str: no cycle runs through it.
struct EntryObject {
    PyObject_HEAD const FunctionSpec* spec;
    PyObject* observed;  // owned, or null
};

PyTypeObject* g_entry_type = nullptr;
PyObject* g_markcoroutinefunction = nullptr;
PyObject* g_name_replace = nullptr;
PyObject* g_name_co_qualname = nullptr;
PyObject* g_name_code = nullptr;

const FunctionSpec& spec_of(PyObject* entry) { return *reinterpret_cast<EntryObject*>(entry)->spec; }

bool refuse_count(const FunctionSpec& spec, Py_ssize_t nargs, Py_ssize_t expected) {
    if (nargs == expected) return false;
    PyErr_Format(PyExc_TypeError, "%s() implementation takes %zd arguments (%zd given)", spec.name, expected, nargs);
    return true;
}

// `_call(*args)`: the synchronous implementation; for a checked coroutine
// the first argument is the coroutine function to call.
PyObject* call_entry(PyObject* entry, PyObject* const* args, Py_ssize_t nargs) {
    const FunctionSpec& spec = spec_of(entry);
    bool checked = spec.impl.asynchronous();
    if (refuse_count(spec, nargs, spec.nparams + (checked ? 1 : 0))) return nullptr;
    return guard<PyObject*>(nullptr, [&] {
        if (checked) return spec.impl.call(args[0], args + 1).release();
        return spec.impl.call(nullptr, args).release();
    });
}

// `_start(*args)`: starts the body (see start_body).
PyObject* start_entry(PyObject* entry, PyObject* const* args, Py_ssize_t nargs) {
    const FunctionSpec& spec = spec_of(entry);
    if (refuse_count(spec, nargs, spec.nparams)) return nullptr;
    return start_body(spec.impl.body, spec.impl.method, reinterpret_cast<EntryObject*>(entry)->observed, args, nargs);
}

PyMethodDef kCallEntry = {"call", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(call_entry)),
                          METH_FASTCALL, nullptr};
PyMethodDef kStartEntry = {"start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(start_entry)),
                           METH_FASTCALL, nullptr};

void entry_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    Ref::steal(reinterpret_cast<EntryObject*>(self)->observed).reset();
    PyObject_Free(self);
    Ref::steal(reinterpret_cast<PyObject*>(type)).reset();  // instances own their heap type
}

PyType_Slot entry_slots[] = {
    {Py_tp_dealloc, py::slot(entry_dealloc)},
    {0, nullptr},
};

PyType_Spec entry_spec = {
    "vesbel.group_bridge.native_entry",
    sizeof(EntryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    entry_slots,
};

// The builtin `def` calls with the spec's arguments.
Ref make_entry(PyMethodDef* def, const FunctionSpec& spec, PyObject* observed, PyObject* module_name) {
    EntryObject* entry = PyObject_New(EntryObject, g_entry_type);
    if (!entry) throw_error();
    entry->spec = &spec;
    entry->observed = Ref::borrow(observed).release();
    Ref self = Ref::steal(reinterpret_cast<PyObject*>(entry));
    return Ref::check(PyCFunction_NewEx(def, self.get(), module_name));
}

// `<vesbel.group_bridge:group_bridge/bridge_stop.cpp>`: the source file
// below `src/`, never the build machine's path, in angle brackets, which
// linecache and inspect read as "no source to be had".
std::string code_filename(const std::source_location& where) {
    std::string_view file = where.file_name();
    if (auto at = file.rfind("src/"); at != std::string_view::npos) file.remove_prefix(at + 4);
    return "<vesbel.group_bridge:" + std::string(file) + ">";
}

// The Python source of the factory that makes the method.  An
// asynchronous one runs the body until it waits, awaits what it waits for,
// and brings the outcome back in, until the body has ended.
std::string factory_source(const FunctionSpec& spec, bool asynchronous, bool checked) {
    std::string params, args;
    for (int i = 0; i < spec.nparams; ++i) {
        if (i) {
            params += ", ";
            args += ", ";
        }
        params += spec.params[i].name;
        if (spec.params[i].optional) params += "=None";
        args += spec.params[i].name;
    }
    std::string name = spec.name;
    if (asynchronous)
        return "def make(_start, _Body):\n"
               "    async def " +
               name + "(" + params +
               "):\n"
               "        _body = _start(" +
               args +
               ")\n"
               "        while type(_body) is _Body:\n"
               "            try:\n"
               "                _value = await _body.awaiting\n"
               "            except BaseException as _error:\n"
               "                _body = _body.throw(_error)\n"
               "            else:\n"
               "                _body = _body.send(_value)\n"
               "        return _body\n"
               "    return " +
               name + "\n";
    if (checked)
        return "def make(_call, _coroutine):\n    def " + name + "(" + params +
               "):\n        return _call(_coroutine, " + args + ")\n    return " + name + "\n";
    return "def make(_call):\n    def " + name + "(" + params + "):\n        return _call(" + args + ")\n    return " +
           name + "\n";
}

// Compiles Python source with every position on one line: each frame of
// the method shows the line its C++ declaration is at.
const char kBuildSource[] =
    "import ast\n"
    "def build(source, filename, line):\n"
    "    tree = ast.parse(source)\n"
    "    for node in ast.walk(tree):\n"
    "        if 'lineno' in node._attributes:\n"
    "            node.lineno = node.end_lineno = line\n"
    "            node.col_offset = node.end_col_offset = 0\n"
    "    return compile(tree, filename, 'exec', dont_inherit=True)\n";

PyObject* g_build = nullptr;

// The factory function compiled from `source`, with `globals`.
Ref compile_factory(const std::string& source, const std::string& filename, int line, PyObject* globals) {
    Ref module_code = call(g_build, str(source), str(filename), integer(line));
    if (!PyCode_Check(module_code.get())) raise(PyExc_SystemError, "factory code not made");
    PyObject* consts = reinterpret_cast<PyCodeObject*>(module_code.get())->co_consts;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(consts); ++i) {
        PyObject* item = PyTuple_GET_ITEM(consts, i);
        if (PyCode_Check(item)) return Ref::check(PyFunction_New(item, globals));
    }
    raise(PyExc_SystemError, "factory code not found");
}

// Gives the function its names, module, docstring and annotations.
void describe(PyObject* function, const FunctionSpec& spec, PyObject* qualname, PyObject* module_name) {
    Ref code = getattr(function, g_name_code);
    PyObject* argv[] = {code.get(), qualname};
    Ref keywords = Ref::check(PyTuple_Pack(1, g_name_co_qualname));
    Ref renamed = Ref::check(PyObject_VectorcallMethod(g_name_replace, argv, 1, keywords.get()));
    setattr(function, g_name_code, renamed.get());
    if (PyObject_SetAttrString(function, "__qualname__", qualname) < 0 ||
        PyObject_SetAttrString(function, "__module__", module_name) < 0 ||
        PyObject_SetAttrString(function, "__doc__", spec.doc ? str(spec.doc).get() : Py_None) < 0)
        throw_error();
    Ref annotations = Ref::check(PyDict_New());
    for (int i = 0; i < spec.nparams; ++i) {
        if (!spec.params[i].annotation) continue;
        if (PyDict_SetItemString(annotations.get(), spec.params[i].name, str(spec.params[i].annotation).get()) < 0)
            throw_error();
    }
    if (spec.returns && PyDict_SetItemString(annotations.get(), "return", str(spec.returns).get()) < 0) throw_error();
    if (PyObject_SetAttrString(function, "__annotations__", annotations.get()) < 0) throw_error();
}

// Optional parameters must come last: the defaults fill the last ones.
void check_params(const FunctionSpec& spec) {
    if (spec.nparams > kMaxParams) raise(PyExc_RuntimeError, "too many parameters");
    for (int i = 1; i < spec.nparams; ++i)
        if (spec.params[i - 1].optional && !spec.params[i].optional)
            raise(PyExc_RuntimeError, "a parameter without default follows one with a default");
}

}  // namespace

Ref make_function(const FunctionSpec& spec, PyObject* owner, PyObject* module_name, PyObject* globals) {
    if (spec.made.function) return Ref::borrow(spec.made.function);
    check_params(spec);
    Ref name = Ref::check(PyUnicode_InternFromString(spec.name));
    Ref qualname = owner ? Ref::check(PyUnicode_FromFormat("%U.%s", owner, spec.name)) : name;
    std::string filename = code_filename(spec.where);
    int line = static_cast<int>(spec.where.line());
    Ref function, coroutine_function, observed;
    if (spec.impl.asynchronous()) {
        Ref factory = compile_factory(factory_source(spec, true, false), filename, line, globals);
        Ref pending = Ref::borrow(reinterpret_cast<PyObject*>(body_type()));
        coroutine_function = call(factory.get(), make_entry(&kStartEntry, spec, nullptr, module_name), pending);
        observed = call(factory.get(), make_entry(&kStartEntry, spec, qualname.get(), module_name), pending);
        describe(coroutine_function.get(), spec, qualname.get(), module_name);
        describe(observed.get(), spec, qualname.get(), module_name);
    }
    if (spec.impl.call) {
        bool checked = spec.impl.asynchronous();
        Ref factory = compile_factory(factory_source(spec, false, checked), filename, line, globals);
        Ref entry = make_entry(&kCallEntry, spec, nullptr, module_name);
        function = checked ? call(factory.get(), entry, coroutine_function) : call(factory.get(), entry);
        describe(function.get(), spec, qualname.get(), module_name);
        if (checked) call(g_markcoroutinefunction, function);
    } else {
        function = coroutine_function;
    }
    spec.made = MadeFunction{function.new_ref(), name.release(), coroutine_function.release(), observed.release()};
    return function;
}

namespace {

// Whether `self.<name>` is the class's own function of `spec`: not
// overridden on a subclass, not shadowed by the instance.
bool is_own(const FunctionSpec& spec, PyObject* self) {
    const MadeFunction& made = spec.made;
    PyTypeObject* type = Py_TYPE(self);
    if (!made.function || type->tp_getattro != PyObject_GenericGetAttr) return false;
    // Only compared: no Python code runs between the lookup and the test.
    if (_PyType_Lookup(type, made.name) != made.function) return false;
    if (PyObject** slot = _PyObject_GetDictPtr(self); slot && *slot) {
        Ref dict = Ref::borrow(*slot);
        int shadowed = PyDict_Contains(dict.get(), made.name);
        if (shadowed < 0) throw_error();
        if (shadowed) return false;
    }
    return true;
}

// Calls the implementation of `spec` with `args`, as its Python function
// would, with `coroutine_function` making the coroutine of an
// asynchronous method.
Ref call_implementation(const FunctionSpec& spec, PyObject* coroutine_function, std::initializer_list<PyObject*> args) {
    PyObject* argv[kMaxParams + 1] = {};
    Py_ssize_t nargs = 0;
    for (PyObject* arg : args) argv[1 + nargs++] = arg;
    if (nargs != spec.nparams) raise(PyExc_TypeError, "wrong number of arguments");
    if (spec.impl.call) return spec.impl.call(coroutine_function, argv + 1);
    return Ref::check(
        PyObject_Vectorcall(coroutine_function, argv + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

}  // namespace

Ref call_method_of(const FunctionSpec& spec, std::initializer_list<PyObject*> args) {
    PyObject* self = *args.begin();
    if (is_own(spec, self)) return call_implementation(spec, spec.made.coroutine_function, args);
    PyObject* argv[kMaxParams + 1] = {};
    size_t nargs = 0;
    for (PyObject* arg : args) argv[nargs++] = arg;
    return Ref::check(PyObject_VectorcallMethod(spec.made.name, argv, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

Ref call_observed(const FunctionSpec& spec, std::initializer_list<PyObject*> args) {
    if (!spec.made.observed || !is_own(spec, *args.begin())) return Ref();
    return call_implementation(spec, spec.made.observed, args);
}

int function_support_ready() {
    if (g_entry_type) return 0;
    return guard(-1, [] {
        for (auto [name, text] : {std::pair{&g_name_replace, "replace"}, std::pair{&g_name_co_qualname, "co_qualname"},
                                  std::pair{&g_name_code, "__code__"}})
            if (!*name) *name = Ref::check(PyUnicode_InternFromString(text)).release();
        Ref namespace_ = Ref::check(PyDict_New());
        Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
        if (PyDict_SetItemString(namespace_.get(), "__builtins__", builtins.get()) < 0) throw_error();
        Ref code = Ref::check(Py_CompileString(kBuildSource, "<vesbel.group_bridge:build>", Py_file_input));
        Ref done = Ref::check(PyEval_EvalCode(code.get(), namespace_.get(), namespace_.get()));
        PyObject* build = PyDict_GetItemString(namespace_.get(), "build");  // borrowed, kept below
        if (!build) raise(PyExc_SystemError, "build helper missing");
        g_build = Ref::borrow(build).release();
        Ref inspect = Ref::check(PyImport_ImportModule("inspect"));
        g_markcoroutinefunction = getattr(inspect.get(), str("markcoroutinefunction").get()).release();
        g_entry_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&entry_spec)).release());
        return 0;
    });
}

}  // namespace py
