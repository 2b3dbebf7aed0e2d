// A parser header that includes the JSON library, which makes it internal to parser/.
#pragma once

#include <simdjson.h>
