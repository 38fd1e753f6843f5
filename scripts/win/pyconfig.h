/* Configuration of the CPython 3.13 headers for building extension modules
   for 64-bit Windows with MinGW-w64 against python313.dll (the official
   MSVC-built interpreter). Only what the public headers consult is here; the
   values are those of that interpreter's ABI, not of the build machine. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H

#if !defined(_WIN64) || !defined(__MINGW32__)
#error "this pyconfig.h is for MinGW-w64 builds for 64-bit Windows"
#endif

#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define MS_WINDOWS_DESKTOP 1
#define NT_THREADS
#define WITH_THREAD

/* Functions and data come from python313.dll. */
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL

#define PY_SUPPORT_TIER 1

/* LLP64: long stays 32 bits, pointers and sizes are 64. */
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_UINTPTR_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_LONG_DOUBLE 8
#define SIZEOF__BOOL 1
#define ALIGNOF_SIZE_T 8
#define ALIGNOF_LONG 4
#define ALIGNOF_MAX_ALIGN_T 8

#define HAVE_LONG_LONG 1
#define HAVE_WCHAR_H 1
#define HAVE_USABLE_WCHAR_T 1
#define HAVE_SYS_TYPES_H 1
#define HAVE_SYS_STAT_H 1
#define HAVE_LARGEFILE_SUPPORT 1

#define WITH_DOC_STRINGS 1
#define WITH_PYMALLOC 1

#define PY_FORMAT_SIZE_T "z"

#endif /* Py_CONFIG_H */
