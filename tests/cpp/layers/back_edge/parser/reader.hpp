// A parser header that reaches up into session/: the layer check must refuse it.
#pragma once

#include "session/session.hpp"
