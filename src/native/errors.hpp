// Python-level exception handling for native code that reproduces `try: ... except Exception:`.
//
//   PyObject* r = attempt();
//   if (r != nullptr) return r;
//   qn::Ref exc = qn::Ref::steal(qn::take_exception());   // nullptr: not an Exception, still pending
//   if (!exc) return nullptr;
//   qn::Handling h(exc.get());                            // the `except` block's scope
//   return fallback();
//
// qn::take_exception()  when the pending exception is an `Exception`, takes it and returns it
//                       (normalised, traceback attached, new reference); otherwise leaves it
//                       pending (KeyboardInterrupt, SystemExit) and returns nullptr.
// qn::Handling          marks an exception as the one being handled for a scope.
#pragma once

#include "ref.hpp"

namespace qn {

inline PyObject* take_exception() {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    if (value == nullptr) value = newref(Py_None);
    return value;
}

// Marks `exc` as the exception being handled for the scope of an `except` block, so an error
// raised there is chained to it and sys.exception() sees it, as in interpreted code, and restores
// the previous state on exit, as the interpreter does around a handler.
//
// The handled exception is set in the innermost exception-state slot (a running generator's own,
// or the thread's), while reading it also looks through the outer slots when the innermost is
// empty. So the slot's own content is found by emptying it and looking again: when what is then
// visible is still the same exception, the slot held nothing of its own (or that same exception),
// and it is emptied again on exit instead of being left holding an outer exception (which a
// generator would carry along after it yields).
class Handling {
public:
    explicit Handling(PyObject* exc) {
        prev_ = PyErr_GetHandledException();  // new reference or nullptr
        PyErr_SetHandledException(nullptr);
        PyObject* outer = PyErr_GetHandledException();
        if (outer == prev_) Py_CLEAR(prev_);
        Py_XDECREF(outer);
        PyErr_SetHandledException(exc);
    }
    ~Handling() {
        PyErr_SetHandledException(prev_);
        Py_XDECREF(prev_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* prev_;  // what the innermost slot held (new reference), or nullptr
};

}  // namespace qn
