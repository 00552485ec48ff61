// The shared native layer: include this one header.
//
//   ref.hpp       owned references (qn::Ref), qn::newref, qn::none, qn::boolean
//   convert.hpp   integer/float conversions and the parameter conventions (qn::to_i64, arg_int...)
//   function.hpp  the native function object, argument parsing, method installation
//   types.hpp     static extension types, pickling refusal
//   module.hpp    the module frame (QN_MODULE), imports, logger
//   lock.hpp      locks and locked sections (native, or a substituted threading.Lock), re-entry, `with`
//   dict.hpp      result dictionaries with fixed keys
//   globals.hpp   module globals lookup, "is this still the standard function" cache
//   interned.hpp  QN_STR("name"): interned string constants, created when the module loads
//   compat.hpp    the only version-specific code (backports, measured fast paths)
//   atomic.hpp    sequentially consistent 64-bit atomics with wrap-around
//   format.hpp    the interpreter's number formatting (str of an int, ".1f") into a buffer
//   unpack.hpp    `a, b = value` with the interpreter's errors (qn::unpack2)
//   shared.hpp    reference-counted native state shared by an object and its calls (qn::Shared)
#pragma once

#include "atomic.hpp"
#include "convert.hpp"
#include "format.hpp"
#include "dict.hpp"
#include "function.hpp"
#include "globals.hpp"
#include "interned.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "ref.hpp"
#include "shared.hpp"
#include "types.hpp"
#include "unpack.hpp"
