// The calling-convention layer shared by every velkora extension module.
//
//   ref.hpp     owned references (vk::Ref), None/bool results
//   args.hpp    parameter declarations (vk::sig), binding and conversion (vk::parse)
//   lock.hpp    threading.Lock sections (vk::LockGuard) and the per-module vk::LockSupport
//   module.hpp  heap types, pickling refusal, namespace and logger set-up
#pragma once

#include "args.hpp"
#include "lock.hpp"
#include "module.hpp"
#include "ref.hpp"
