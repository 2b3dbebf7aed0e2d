// A session header that reaches the parser's JSON internals: the layer check must refuse it.
#pragma once

#include "parser/json.hpp"
