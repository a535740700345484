// What a module coroutine shows to debuggers and tools: cr_code, cr_frame,
// traceback entries, cr_origin and the "never awaited" warning, each as a
// native coroutine gives them.
#include <new>

#include "python/code_site.hpp"
#include "python/coroutine_object.hpp"
#include "python/function.hpp"
#include "python/object.hpp"

namespace py {

namespace {

PyObject* globals_of(CoroObject* c) { return c->function ? function_globals(c->function.get()) : nullptr; }

// The code of the place the body is at: its last co_await, or its start.
Ref code_here(CoroObject* c) {
    Ref code = coro_code(c);
    std::source_location site = c->frame ? c->frame.promise().site : std::source_location{};
    return site.line() ? code_at(code.get(), site) : code;
}

}  // namespace

Ref coro_code(CoroObject* c) {
    if (c->function)
        if (PyObject* code = function_code(c->function.get())) return Ref::borrow(code);
    if (!c->code) c->code = operation_code({c->name.get(), c->qualname.get(), nullptr, CO_COROUTINE}, c->created_at);
    return c->code;
}

Ref coro_frame(CoroObject* c) {
    Ref code = code_here(c);
    if (c->frame_object) {
        Ref shown = Ref::steal(
            reinterpret_cast<PyObject*>(PyFrame_GetCode(reinterpret_cast<PyFrameObject*>(c->frame_object.get()))));
        if (shown.get() == code.get()) return c->frame_object;
    }
    c->frame_object = frame_for(code.get(), globals_of(c));
    return c->frame_object;
}

void add_body_traceback(CoroObject* c) {
    Ref error = Ref::steal(PyErr_GetRaisedException());
    Ref frame;
    try {
        frame = coro_frame(c);
    } catch (PyError&) {
        // Without a frame to show, the error goes on without the entry.
    } catch (std::bad_alloc&) {
    }
    PyErr_SetRaisedException(error.release());
    if (frame) add_traceback_entry(frame.get());
}

Ref origin_here() {
    int depth = PyThreadState_Get()->coroutine_origin_tracking_depth;
    if (depth <= 0) return Ref();
    Ref entries = Ref::check(PyList_New(0));
    Ref frame = Ref::borrow(reinterpret_cast<PyObject*>(PyEval_GetFrame()));
    for (int i = 0; frame && i < depth; ++i) {
        auto* f = reinterpret_cast<PyFrameObject*>(frame.get());
        Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetCode(f)));
        auto* co = reinterpret_cast<PyCodeObject*>(code.get());
        Ref line = integer(PyFrame_GetLineNumber(f));
        Ref entry = Ref::check(PyTuple_Pack(3, co->co_filename, line.get(), co->co_name));
        if (PyList_Append(entries.get(), entry.get()) < 0) throw_error();
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_GetBack(f)));
    }
    return Ref::check(PyList_AsTuple(entries.get()));
}

void warn_never_awaited(PyObject* coro) {
    // The warnings module words it (adding where the coroutine was made);
    // a warning turned into an error is that error.
    Ref name = str("warnings");
    Ref warnings = Ref::steal(PyImport_GetModule(name.get()));
    if (warnings) {
        Ref warn = Ref::steal(PyObject_GetAttrString(warnings.get(), "_warn_unawaited_coroutine"));
        if (warn) {
            Ref done = Ref::steal(PyObject_CallOneArg(warn.get(), coro));
            if (done || PyErr_ExceptionMatches(PyExc_RuntimeWarning)) return;
        }
    }
    PyErr_Clear();
    PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited", as_coro(coro)->qualname.get());
}

}  // namespace py
