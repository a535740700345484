#include "python/function.hpp"

#include <frameobject.h>

#include <string>
#include <string_view>

#include "python/object.hpp"
#include "python/slot.hpp"

// Whether a profiler, a tracer or a monitoring tool is told when a Python
// function starts (runtime_state.c).
extern "C" int group_bridge_python_starts_watched(void);

namespace py {

namespace {

// What the Python function's statement calls: a builtin method whose self
// is one of these, pointing at the method's FunctionSpec (and, for an
// observed start, holding the operation's qualified name).  Holds only a
// str: no cycle runs through it.
struct EntryObject {
    PyObject_HEAD const FunctionSpec* spec;
    PyObject* observed;  // owned, or null
};

PyTypeObject* g_entry_type = nullptr;
PyObject* g_markcoroutinefunction = nullptr;
PyObject* g_name_replace = nullptr;

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

}  // namespace

PyObject* refuse_start_arguments(PyObject* entry, Py_ssize_t nargs) {
    refuse_count(spec_of(entry), nargs, 1);
    return nullptr;
}

namespace {

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

// A builtin method running `def` for the method described by `spec`.
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

// What a method's Python function does.
enum class Shape { Asynchronous, Synchronous, Checked, Count };

// The Python source of a template for `shape` with `nparams` parameters
// (p0, p1, ...), the last `noptional` defaulting to None.  An asynchronous
// one runs the body until it waits, awaits what it waits for, and brings
// the outcome back in, until the body has ended.  Its `_start` and `_Body`
// become constants of each method's code: loaded as constants, they cost
// its coroutine no closure to copy in and clear.  A synchronous one's
// `_call` (and a checked one's `_coroutine`) stay closure cells, which the
// function's vectorcall reads.
std::string template_source(Shape shape, int nparams, int noptional) {
    std::string params, args;
    for (int i = 0; i < nparams; ++i) {
        std::string name = "p" + std::to_string(i);
        params += (i ? ", " : "") + name + (i >= nparams - noptional ? "=None" : "");
        args += (i ? ", " : "") + name;
    }
    switch (shape) {
        case Shape::Asynchronous:
            return "def make():\n"
                   "    async def method(" +
                   params +
                   "):\n"
                   "        _body = _start(" +
                   args +
                   ")\n"
                   "        if _body is None:\n"
                   "            return None\n"
                   "        while type(_body) is _Body:\n"
                   "            try:\n"
                   "                _value = await _body.awaiting\n"
                   "            except BaseException as _value:\n"
                   "                _body = _body.throw(_value)\n"
                   "            else:\n"
                   "                _body = _body.send(_value)\n"
                   "        return _body\n"
                   "    return method\n";
        case Shape::Checked:
            return "def make(_call, _coroutine):\n    def method(" + params + "):\n        return _call(_coroutine, " +
                   args + ")\n    return method\n";
        default:
            return "def make(_call):\n    def method(" + params + "):\n        return _call(" + args +
                   ")\n    return method\n";
    }
}

// The names an asynchronous template loads as constants.
const char* const kConstantNames[] = {"_start", "_Body"};

// Compiles Python source with every position on line 1: moved to a
// method's line, every instruction of its frame shows that line.  A global
// named in kConstantNames becomes a str constant of that name, which
// method_code replaces.  It is written `(name if True else None)`, which
// compiles to the same single load of the constant: called as a bare
// constant, the compiler would warn that a str is not callable.
const char kBuildSource[] =
    "import ast\n"
    "def build(source, constants):\n"
    "    tree = ast.parse(source)\n"
    "    for node in ast.walk(tree):\n"
    "        if 'lineno' in node._attributes:\n"
    "            node.lineno = node.end_lineno = 1\n"
    "            node.col_offset = node.end_col_offset = 0\n"
    "    class Constants(ast.NodeTransformer):\n"
    "        def visit_Name(self, node):\n"
    "            if node.id not in constants:\n"
    "                return node\n"
    "            constant = ast.IfExp(ast.Constant(True), ast.Constant(node.id), ast.Constant(None))\n"
    "            return ast.fix_missing_locations(ast.copy_location(constant, node))\n"
    "    tree = Constants().visit(tree)\n"
    "    code = compile(tree, '<template>', 'exec', dont_inherit=True)\n"
    "    make = next(c for c in code.co_consts if hasattr(c, 'co_code'))\n"
    "    return next(c for c in make.co_consts if hasattr(c, 'co_code'))\n";

PyObject* g_build = nullptr;
// Templates made so far, kept for the process: bounded by the shapes.
PyObject* g_templates[static_cast<int>(Shape::Count)][kMaxParams + 1][kMaxParams + 1] = {};

PyObject* template_code(Shape shape, int nparams, int noptional) {
    PyObject*& made = g_templates[static_cast<int>(shape)][nparams][noptional];
    if (!made) {
        Ref constants = Ref::check(PyTuple_New(0));
        if (shape == Shape::Asynchronous)
            constants = Ref::check(Py_BuildValue("(ss)", kConstantNames[0], kConstantNames[1]));
        Ref code = call(g_build, str(template_source(shape, nparams, noptional)), constants);
        if (!PyCode_Check(code.get())) raise(PyExc_SystemError, "template code not made");
        made = code.release();
    }
    return made;
}

// The template's constants with each str constant named in `constants`
// replaced by its object.
Ref replaced_constants(PyObject* templ, std::initializer_list<std::pair<const char*, PyObject*>> constants) {
    Ref consts = getattr(templ, str("co_consts").get());
    Py_ssize_t n = PyTuple_GET_SIZE(consts.get());
    Ref replaced = Ref::check(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* constant = PyTuple_GET_ITEM(consts.get(), i);  // the tuple is held; no Python code runs
        Ref item = Ref::borrow(constant);
        if (PyUnicode_CheckExact(constant))
            for (auto [name, object] : constants)
                if (PyUnicode_CompareWithASCIIString(constant, name) == 0) item = Ref::borrow(object);
        PyTuple_SET_ITEM(replaced.get(), i, item.release());
    }
    return replaced;
}

// The template's code renamed and moved to the method's place, with its
// parameters' names and the given objects in place of its named constants.
Ref method_code(PyObject* templ, const FunctionSpec& spec, PyObject* qualname, const std::string& filename,
                std::initializer_list<std::pair<const char*, PyObject*>> constants = {}) {
    Ref varnames = getattr(templ, str("co_varnames").get());
    Py_ssize_t nvarnames = PyTuple_GET_SIZE(varnames.get());
    Ref renamed = Ref::check(PyTuple_New(nvarnames));
    for (Py_ssize_t i = 0; i < nvarnames; ++i) {
        Ref item = i < spec.nparams ? Ref::check(PyUnicode_InternFromString(spec.params[i].name))
                                    : Ref::borrow(PyTuple_GET_ITEM(varnames.get(), i));
        PyTuple_SET_ITEM(renamed.get(), i, item.release());
    }
    Ref name = str(spec.name);
    Ref file = str(filename);
    Ref line = integer(static_cast<long long>(spec.where.line()));
    Ref consts = replaced_constants(templ, constants);
    Ref keywords = Ref::check(Py_BuildValue("(ssssss)", "co_name", "co_qualname", "co_filename", "co_firstlineno",
                                            "co_varnames", "co_consts"));
    PyObject* argv[] = {templ, name.get(), qualname, file.get(), line.get(), renamed.get(), consts.get()};
    return Ref::check(PyObject_VectorcallMethod(g_name_replace, argv, 1, keywords.get()));
}

// A function running `code` with the closure's cells holding `free` (by
// the names of the code's free variables, in their order), if it has any.
Ref new_function(PyObject* code, PyObject* globals, PyObject* qualname,
                 std::initializer_list<std::pair<const char*, PyObject*>> free) {
    Ref function = Ref::check(PyFunction_NewWithQualName(code, globals, qualname));
    Ref names = getattr(code, str("co_freevars").get());
    PyObject* freevars = names.get();
    if (PyTuple_GET_SIZE(freevars) == 0) return function;  // no closure, as for a function that needs none
    Ref closure = Ref::check(PyTuple_New(PyTuple_GET_SIZE(freevars)));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(freevars); ++i) {
        PyObject* value = nullptr;
        for (auto [name, object] : free)
            if (PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(freevars, i), name) == 0) value = object;
        if (!value) raise(PyExc_SystemError, "template free variable unknown");
        PyTuple_SET_ITEM(closure.get(), i, Ref::check(PyCell_New(value)).release());
    }
    if (PyFunction_SetClosure(function.get(), closure.get()) < 0) throw_error();
    return function;
}

// Gives the function its defaults, module, docstring and annotations.
void describe(PyObject* function, const FunctionSpec& spec, PyObject* module_name) {
    int noptional = 0;
    for (int i = 0; i < spec.nparams; ++i) noptional += spec.params[i].optional ? 1 : 0;
    if (noptional) {
        Ref defaults = Ref::check(PyTuple_New(noptional));
        for (int i = 0; i < noptional; ++i) PyTuple_SET_ITEM(defaults.get(), i, none().release());
        if (PyFunction_SetDefaults(function, defaults.get()) < 0) throw_error();
    }
    if (PyObject_SetAttrString(function, "__module__", module_name) < 0 ||
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

// The vectorcall CPython gives a Python function, kept from the first
// function made (it is the same for all).
vectorcallfunc g_python_vectorcall = nullptr;

// Adds the entry the method's frame would have added to the traceback of
// the error being raised: its name, file and line, from a code object with
// no variables (nothing for a frame to read).
void add_traceback_entry(const FunctionSpec& spec) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    std::string filename = code_filename(spec.where);
    PyCodeObject* code = PyCode_NewEmpty(filename.c_str(), spec.name, static_cast<int>(spec.where.line()));
    Ref code_ref = Ref::steal(reinterpret_cast<PyObject*>(code));
    Ref globals = code ? Ref::check(PyDict_New()) : Ref();
    PyFrameObject* frame = code ? PyFrame_New(PyThreadState_Get(), code, globals.get(), nullptr) : nullptr;
    Ref frame_ref = Ref::steal(reinterpret_cast<PyObject*>(frame));
    PyErr_Clear();  // without memory for an entry, the error goes on as it is
    PyErr_SetRaisedException(error.release());
    if (frame) PyTraceBack_Here(frame);
}

// A synchronous method's function (or a checked coroutine's) called with
// every argument by position, while its code and cells are still the ones
// it was made with: the implementation runs at once, as the one-line frame
// would run it.
// Anything else (keywords, defaults to fill, a replaced __code__ or cell;
// for a synchronous method, a profiler or tracer that is told of every
// Python call) runs the function as Python runs it.
PyObject* direct_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyFunctionObject* function = reinterpret_cast<PyFunctionObject*>(callable);
    PyObject* closure = function->func_closure;
    if (kwnames || !closure || PyTuple_GET_SIZE(closure) < 1)
        return g_python_vectorcall(callable, args, nargsf, kwnames);
    PyObject* entry = PyCell_GET(PyTuple_GET_ITEM(closure, 0));
    if (!entry || !PyCFunction_Check(entry) || PyCFunction_GET_SELF(entry) == nullptr ||
        Py_TYPE(PyCFunction_GET_SELF(entry)) != g_entry_type)
        return g_python_vectorcall(callable, args, nargsf, kwnames);
    const FunctionSpec& spec = spec_of(PyCFunction_GET_SELF(entry));
    // A checked coroutine's second cell holds the coroutine function it calls.
    bool checked = spec.impl.asynchronous();
    // A checked coroutine's own frame, the async def, shows to the tool.
    if (!checked && group_bridge_python_starts_watched()) return g_python_vectorcall(callable, args, nargsf, kwnames);
    PyObject* coroutine_function =
        checked && PyTuple_GET_SIZE(closure) > 1 ? PyCell_GET(PyTuple_GET_ITEM(closure, 1)) : nullptr;
    if (function->func_code != spec.made.code || entry != spec.made.entry ||
        coroutine_function != (checked ? spec.made.coroutine_function : nullptr) ||
        PyVectorcall_NARGS(nargsf) != spec.nparams)
        return g_python_vectorcall(callable, args, nargsf, kwnames);
    // The check may run Python code that empties the cell: the function is held.
    Ref held = Ref::borrow(coroutine_function);
    PyObject* result = guard<PyObject*>(nullptr, [&] { return spec.impl.call(held.get(), args).release(); });
    if (!result) add_traceback_entry(spec);
    return result;
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
    int noptional = 0;
    for (int i = 0; i < spec.nparams; ++i) noptional += spec.params[i].optional ? 1 : 0;
    Ref name = Ref::check(PyUnicode_InternFromString(spec.name));
    Ref qualname = owner ? Ref::check(PyUnicode_FromFormat("%U.%s", owner, spec.name)) : name;
    std::string filename = code_filename(spec.where);
    Ref function, coroutine_function, observed;
    if (spec.impl.asynchronous()) {
        PyObject* templ = template_code(Shape::Asynchronous, spec.nparams, noptional);
        PyObject* body = reinterpret_cast<PyObject*>(body_type());
        if (spec.impl.started)
            spec.made.started = {"start",
                                 reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(spec.impl.started)),
                                 METH_FASTCALL, nullptr};
        Ref start = make_entry(spec.impl.started ? &spec.made.started : &kStartEntry, spec, nullptr, module_name);
        Ref code = method_code(templ, spec, qualname.get(), filename, {{"_start", start.get()}, {"_Body", body}});
        coroutine_function = new_function(code.get(), globals, qualname.get(), {});
        describe(coroutine_function.get(), spec, module_name);
        if (!spec.impl.started) {
            Ref observed_start = make_entry(&kStartEntry, spec, qualname.get(), module_name);
            Ref observed_code =
                method_code(templ, spec, qualname.get(), filename, {{"_start", observed_start.get()}, {"_Body", body}});
            observed = new_function(observed_code.get(), globals, qualname.get(), {});
            describe(observed.get(), spec, module_name);
        }
    }
    if (spec.impl.call) {
        bool checked = spec.impl.asynchronous();
        Shape shape = checked ? Shape::Checked : Shape::Synchronous;
        Ref code = method_code(template_code(shape, spec.nparams, noptional), spec, qualname.get(), filename);
        Ref entry = make_entry(&kCallEntry, spec, nullptr, module_name);
        function = new_function(code.get(), globals, qualname.get(),
                                {{"_call", entry.get()}, {"_coroutine", coroutine_function.get()}});
        describe(function.get(), spec, module_name);
        if (checked) call(g_markcoroutinefunction, function);
        PyFunctionObject* made = reinterpret_cast<PyFunctionObject*>(function.get());
        if (!g_python_vectorcall) g_python_vectorcall = made->vectorcall;
        spec.made.code = Ref::borrow(made->func_code).release();
        spec.made.entry = entry.new_ref();
        PyFunction_SetVectorcall(made, direct_vectorcall);
    } else {
        function = coroutine_function;
    }
    spec.made.function = function.new_ref();
    spec.made.name = name.release();
    spec.made.coroutine_function = coroutine_function.release();
    spec.made.observed = observed.release();
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
    PyObject* found = _PyType_Lookup(type, made.name);
    if (found != (made.attribute ? made.attribute : made.function)) return false;
    if (Py_TYPE(found)->tp_descr_set) return true;  // a property: no instance dict can shadow it
    PyObject* kept = nullptr;                       // only tested
    int in_values = group_bridge_kept_value(self, made.name, 0, &kept);
    if (in_values != -1) return in_values == 0;  // found, or only CPython can tell: the ordinary way
    if (PyObject** slot = group_bridge_dict_ptr(self); slot && *slot) {
        Ref dict = Ref::borrow(*slot);
        int shadowed = PyDict_Contains(dict.get(), made.name);
        if (shadowed < 0) throw_error();
        if (shadowed) return false;
    }
    return true;
}

// A call's arguments laid out as a vectorcall argv, the slot before them
// free (PY_VECTORCALL_ARGUMENTS_OFFSET).
struct Argv {
    explicit Argv(std::initializer_list<PyObject*> args) {
        for (PyObject* arg : args) slots[1 + count++] = arg;
    }
    PyObject* const* get() { return slots + 1; }
    size_t flags() const { return count | PY_VECTORCALL_ARGUMENTS_OFFSET; }
    PyObject* slots[kMaxParams + 1] = {};
    size_t count = 0;
};

// Calls the implementation of `spec` with `args`, as its Python function
// would, with `coroutine_function` making the coroutine of an
// asynchronous method.
Ref call_implementation(const FunctionSpec& spec, PyObject* coroutine_function, Argv& argv) {
    if (argv.count != static_cast<size_t>(spec.nparams)) raise(PyExc_TypeError, "wrong number of arguments");
    if (!spec.impl.call) return Ref::check(PyObject_Vectorcall(coroutine_function, argv.get(), argv.flags(), nullptr));
    // A synchronous method runs its frame while a tool is told of Python
    // calls, as it does when called from Python.
    if (!spec.impl.asynchronous() && group_bridge_python_starts_watched())
        return Ref::check(PyObject_Vectorcall(spec.made.function, argv.get(), argv.flags(), nullptr));
    try {
        return spec.impl.call(coroutine_function, argv.get());
    } catch (PyError& error) {
        error.restore();
        add_traceback_entry(spec);  // the entry its frame would have added
        throw_error();
    }
}

}  // namespace

Ref call_method_of(const FunctionSpec& spec, std::initializer_list<PyObject*> args) {
    Argv argv(args);
    if (is_own(spec, *args.begin())) return call_implementation(spec, spec.made.coroutine_function, argv);
    return Ref::check(PyObject_VectorcallMethod(spec.made.name, argv.get(), argv.flags(), nullptr));
}

Ref attribute_of(const FunctionSpec& spec, PyObject* self) {
    if (!is_own(spec, self)) return getattr(self, spec.made.name);
    Argv argv({self});
    return call_implementation(spec, nullptr, argv);
}

void note_class_attribute(const FunctionSpec& spec, PyObject* attribute) noexcept {
    if (!spec.made.attribute) spec.made.attribute = Ref::borrow(attribute).release();
}

Ref call_observed(const FunctionSpec& spec, std::initializer_list<PyObject*> args) {
    if (!spec.made.observed || !is_own(spec, *args.begin())) return Ref();
    Argv argv(args);
    return call_implementation(spec, spec.made.observed, argv);
}

int function_support_ready() {
    if (g_entry_type) return 0;
    return guard(-1, [] {
        if (!g_name_replace) g_name_replace = Ref::check(PyUnicode_InternFromString("replace")).release();
        Ref namespace_ = Ref::check(PyDict_New());
        Ref builtins = Ref::check(PyImport_ImportModule("builtins"));
        if (PyDict_SetItemString(namespace_.get(), "__builtins__", builtins.get()) < 0) throw_error();
        Ref code = Ref::check(Py_CompileString(kBuildSource, "<vesbel.group_bridge:template>", Py_file_input));
        Ref done = Ref::check(PyEval_EvalCode(code.get(), namespace_.get(), namespace_.get()));
        Ref build = Ref::borrow(PyDict_GetItemString(namespace_.get(), "build"));
        if (!build) raise(PyExc_SystemError, "build helper missing");
        g_build = build.release();
        Ref inspect = Ref::check(PyImport_ImportModule("inspect"));
        g_markcoroutinefunction = getattr(inspect.get(), str("markcoroutinefunction").get()).release();
        g_entry_type = reinterpret_cast<PyTypeObject*>(Ref::check(PyType_FromSpec(&entry_spec)).release());
        return 0;
    });
}

}  // namespace py
