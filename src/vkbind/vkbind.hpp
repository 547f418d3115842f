// The calling-convention layer shared by every velkora extension module.
//
//   ref.hpp     owned references (vk::Ref), None/bool results
//   interp.hpp  module globals, method calls, the import statement, pending/handled exceptions
//   sig.hpp     parameter declarations (vk::sig, vk::arg, vk::ArgCtx): plain constexpr data
//   convert.hpp one converter per parameter kind: tag, fast read, conversion, default (vk::convert)
//   parse.hpp   the binding of a call to a declaration (vk::parse, vk::parse_tuple)
//   args.hpp    the three above, for units written against the argument layer as a whole
//   names.hpp   a module's interned names (vk::Names, VK_NAMES)
//   lock.hpp    threading.Lock sections (vk::LockGuard) and the per-module vk::LockSupport
//   module.hpp  module definitions, heap types, pickling refusal, namespace and logger set-up
//   state.hpp   module state: traverse/clear from one list, VK_MODULE
#pragma once

#include "args.hpp"
#include "names.hpp"
#include "interp.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "state.hpp"
#include "ref.hpp"
