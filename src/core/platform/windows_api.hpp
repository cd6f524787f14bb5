// <windows.h> without what clashes with standard C++: the min and max macros,
// and the rarely used parts that slow every compile down.
#pragma once

#if !defined(WIN32_LEAN_AND_MEAN)
#define WIN32_LEAN_AND_MEAN
#endif
#if !defined(NOMINMAX)
#define NOMINMAX
#endif
#include <windows.h>
