// The calling convention's argument layer, whole: declarations (sig.hpp), conversions
// (convert.hpp) and the binding (parse.hpp). Units include this or vkbind.hpp; a header that needs
// only declarations (module.hpp) includes sig.hpp.
#pragma once

#include "sig.hpp"
#include "convert.hpp"
#include "parse.hpp"
