// The project's native layer: references and errors, introspectable native functions,
// native coroutines, module initialisation.
#pragma once
#include "vx/coro.hpp"
#include "vx/function.hpp"
#include "vx/module.hpp"
#include "vx/ref.hpp"
