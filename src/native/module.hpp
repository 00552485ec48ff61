// The module frame shared by every extension module.
//
// A module's state exists once per process:
//   - importing it into a second interpreter raises ImportError: on 3.12 and later the interpreter
//     refuses it itself (the module declares that it does not support multiple interpreters); on
//     3.11 the frame raises "Interpreter change detected - this module can only be loaded into one
//     interpreter per process.";
//   - running its initialisation a second time (a fresh import after removing it from sys.modules,
//     importlib.reload, exec_module on a new module object) raises RuntimeError "Module 'NAME' has
//     already been imported. Re-initialisation is not supported.".
//   - an initialisation that fails (say an import it needs raises) does not count: a later import
//     runs it again and reports the real error again, or succeeds.
// The exec function binds the module-level names in the order the module documents.
//
//   static int exec_sync_kernel(PyObject* m) { ...; return 0; }   // -1 with an exception on failure
//   QN_MODULE(sync_kernel, "module docstring", exec_sync_kernel)
//
// Helpers for the exec function (each returns 0, or -1 with an exception set):
//   qn::import_into(m, "threading")                  import threading        (binds `threading`)
//   qn::import_from(m, "typing", {"Optional", ...})  from typing import ...  (binds each name)
//   qn::bind(m, "NAME", obj)                         binds a new reference (taken over)
//   qn::make_logger(m)                               logger = logging.getLogger(__name__)
//                                                    (returns the logger, borrowed; nullptr on error)
//   qn::log(logger, "info", "text")                  logger.info("text")
//   qn::log_loaded(m, "text")                        import logging; logger = ...; logger.info("text")
#pragma once

#include "interned.hpp"
#include "ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace qn {

struct ModuleFrame {
    const char* short_name;
    int64_t interpreter_id = -1;
    bool initialised = false;
};

inline PyObject* module_create(ModuleFrame& frame, PyObject* module_spec) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (frame.interpreter_id == -1) {
        frame.interpreter_id = current;
    } else if (frame.interpreter_id != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    Ref name = Ref::steal(PyObject_GetAttrString(module_spec, "name"));
    if (!name) return nullptr;
    return PyModule_NewObject(name.get());
}

// Runs the module's exec function once per process; a failed run may be retried. The extension's
// string constants (QN_STR) are created first, so its code never meets one missing.
inline int module_exec(ModuleFrame& frame, PyObject* m, int (*exec)(PyObject*)) {
    if (frame.initialised) {
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     frame.short_name);
        return -1;
    }
    if (detail::create_interned() < 0 || exec(m) < 0) return -1;
    frame.initialised = true;
    return 0;
}

inline int bind(PyObject* m, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    int r = PyModule_AddObjectRef(m, name, value);
    Py_DECREF(value);
    return r;
}

inline int import_into(PyObject* m, const char* module_name, const char* as = nullptr) {
    PyObject* mod = PyImport_ImportModule(module_name);
    return bind(m, as ? as : module_name, mod);
}

inline int import_from(PyObject* m, const char* module_name, std::initializer_list<const char*> names) {
    Ref mod = Ref::steal(PyImport_ImportModule(module_name));
    if (!mod) return -1;
    for (const char* n : names) {
        if (bind(m, n, PyObject_GetAttrString(mod.get(), n)) < 0) return -1;
    }
    return 0;
}

inline PyObject* make_logger(PyObject* m) {
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
    if (!logging) return nullptr;
    PyObject* name = PyModule_GetNameObject(m);
    if (name == nullptr) return nullptr;
    Ref hold_name = Ref::steal(name);
    PyObject* logger = PyObject_CallMethod(logging.get(), "getLogger", "O", name);
    if (bind(m, "logger", logger) < 0) return nullptr;
    return logger;  // borrowed: the module holds it
}

inline int log(PyObject* logger, const char* level, const char* text) {
    Ref r = Ref::steal(PyObject_CallMethod(logger, level, "s", text));
    return r ? 0 : -1;
}

// The tail of a logging module's load: `import logging`, `logger = logging.getLogger(__name__)`,
// `logger.info(text)`.
inline int log_loaded(PyObject* m, const char* text) {
    if (import_into(m, "logging") < 0) return -1;
    PyObject* logger = make_logger(m);
    return logger == nullptr ? -1 : log(logger, "info", text);
}

}  // namespace qn

#if defined(__GNUC__)
#define QN_UNUSED __attribute__((unused))
#else
#define QN_UNUSED
#endif

#ifdef Py_mod_multiple_interpreters
#define QN_MULTIPLE_INTERPRETERS_SLOT {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define QN_MULTIPLE_INTERPRETERS_SLOT
#endif

#define QN_MODULE(NAME, DOC, EXEC)                                                                     \
    static ::qn::ModuleFrame NAME##_frame{#NAME};                                                      \
    static PyObject* NAME##_create(PyObject* module_spec, PyModuleDef*) {                              \
        return ::qn::module_create(NAME##_frame, module_spec);                                         \
    }                                                                                                  \
    static int NAME##_exec(PyObject* m) { return ::qn::module_exec(NAME##_frame, m, EXEC); }           \
    static PyModuleDef_Slot NAME##_slots[] = {{Py_mod_create, reinterpret_cast<void*>(NAME##_create)}, \
                                              {Py_mod_exec, reinterpret_cast<void*>(NAME##_exec)},     \
                                              QN_MULTIPLE_INTERPRETERS_SLOT{0, nullptr}};              \
    static PyModuleDef NAME##_def = {PyModuleDef_HEAD_INIT, #NAME,   DOC,     0,      nullptr,         \
                                     NAME##_slots,          nullptr, nullptr, nullptr};                \
    PyMODINIT_FUNC PyInit_##NAME(void) { return PyModuleDef_Init(&NAME##_def); }
