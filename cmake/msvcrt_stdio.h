/* Forced include for the tinyxml2 and JsonCpp builds of the Windows tree: <stdio.h> is read
   before any C++ header, with mingw's own formatter and scanner switched off, so their printf
   and scanf calls bind to msvcrt's. libstdc++'s configuration header switches them on for
   every C++ translation unit, which brings about 60 KB of mingw's scanf, printf and strtod
   into the stub for code it never runs: the stub reads element texts and string members
   only, and writes no XML or JSON (the linker keeps those functions because the unwind
   tables refer to them). Messages JsonCpp formats use %d and %s only, the same in both. */
#ifndef VELT_MSVCRT_STDIO_H
#define VELT_MSVCRT_STDIO_H
#undef __USE_MINGW_ANSI_STDIO
#define __USE_MINGW_ANSI_STDIO 0
#include <stdio.h>
#endif
