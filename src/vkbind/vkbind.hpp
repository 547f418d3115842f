// The calling-convention layer shared by every velkora extension module.
//
//   ref.hpp     owned references (vk::Ref), None/bool results
//   interp.hpp  module globals, method calls, the import statement, pending/handled exceptions
//   args.hpp    parameter declarations (vk::sig), binding and conversion (vk::parse)
//   lock.hpp    threading.Lock sections (vk::LockGuard) and the per-module vk::LockSupport
//   module.hpp  module definitions, heap types, pickling refusal, namespace and logger set-up
//   state.hpp   module state: interned names (vk::Names) and traverse/clear from one list
#pragma once

#include "args.hpp"
#include "interp.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "state.hpp"
#include "ref.hpp"
