// The calling convention between native loops and C++: the entry of a
// compiled loop and every function its code calls are declared with
// RILL_NATIVE_CALL. It is the platform's own, except in the Linux build that
// runs Win64's convention (RILL_NATIVE_WIN64_ABI), where GCC gives these
// functions that convention and the rest of the program keeps its own.
#pragma once

#if defined(RILL_NATIVE_WIN64_ABI) && !defined(_WIN32)
#define RILL_NATIVE_CALL __attribute__((ms_abi))
#else
#define RILL_NATIVE_CALL
#endif
