// Python objects a coroutine body keeps across a co_await.
//
// The cyclic GC cannot see a C++ coroutine frame, so a `Ref` local that
// survives a suspension hides its object: a cycle running through it (a
// member that holds the future the body waits on, say) is never collected.
// The rule: a Python object a body still uses after a `co_await` lives in a
// `Local`.  A Local made while a coroutine body runs joins that body's
// list of locals, which its Body object's tp_traverse visits and tp_clear empties (by
// destroying the frame); made anywhere else it is a plain owning reference.
// Locals are neither copied nor moved: the list points at them in place.
#pragma once

#include "python/ref.hpp"

namespace py {

class Local;

// The locals of one coroutine object, most recent first.
struct LocalList {
    Local* head = nullptr;
};

// The locals of the coroutine body this thread is running, or null.  Set
// around each resumption of a body by the coroutine type.  Initial-exec:
// one pointer of static TLS, read without a call into the dynamic linker.
extern thread_local constinit LocalList* t_running_locals __attribute__((tls_model("initial-exec")));

class Local {
public:
    Local() noexcept : Local(Ref()) {}
    Local(Ref value) noexcept : value_(std::move(value)) {  // NOLINT: converts like a Ref
        if (LocalList* list = t_running_locals) {
            next_ = list->head;
            if (next_) next_->link_ = &next_;
            link_ = &list->head;
            list->head = this;
        }
    }
    ~Local() {
        if (!link_) return;
        *link_ = next_;
        if (next_) next_->link_ = link_;
    }
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;

    Local& operator=(Ref value) {
        value_ = std::move(value);
        return *this;
    }

    PyObject* get() const noexcept { return value_.get(); }
    const Ref& ref() const noexcept { return value_; }
    Ref take() noexcept { return std::move(value_); }
    explicit operator bool() const noexcept { return static_cast<bool>(value_); }

    // Visits every object held by the locals of `list` (tp_traverse).
    static int traverse(const LocalList& list, visitproc visit, void* arg) {
        for (const Local* local = list.head; local; local = local->next_) Py_VISIT(local->value_.get());
        return 0;
    }

private:
    Ref value_;
    Local* next_ = nullptr;
    Local** link_ = nullptr;  // the pointer that points at this one
};

inline PyObject* ptr(const Local& local) noexcept { return local.get(); }

}  // namespace py
