// <windows.h> as the program's Windows sources take it: without the parts none
// of them uses (WIN32_LEAN_AND_MEAN), and without the min and max macros that
// would break std::min and std::max (NOMINMAX). Windows only.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
