// Native operation table of quarvel.memory.sync_kernel.AtomicCounter, for native code in the same
// process that holds AtomicCounter objects. The entries take the counter object itself (an
// AtomicCounter or an instance of a subclass), neither touch the interpreter lock nor raise, and
// mean what the Python methods of the same name mean.
//
// The table is published as a capsule named QUARVEL_ATOMIC_COUNTER_OPS_NAME in the class attribute
// __native_ops__:
//
//   PyObject* cap = PyObject_GetAttrString(atomic_counter_type, "__native_ops__");
//   auto* ops = static_cast<const AtomicCounterOps*>(PyCapsule_GetPointer(cap, QUARVEL_ATOMIC_COUNTER_OPS_NAME));
#pragma once

#include <cstdint>

struct _object;

#define QUARVEL_ATOMIC_COUNTER_OPS_NAME "quarvel.memory.sync_kernel.AtomicCounter.__native_ops__"

struct AtomicCounterOps {
    int64_t (*load)(_object* counter);
    void (*store)(_object* counter, int64_t value);
    int64_t (*increment)(_object* counter, int64_t delta);  // value after adding
    int64_t (*decrement)(_object* counter, int64_t delta);  // value after subtracting
    bool (*compare_and_swap)(_object* counter, int64_t expected, int64_t new_value);
    int64_t (*fetch_and_add)(_object* counter, int64_t delta);  // value before adding
};
