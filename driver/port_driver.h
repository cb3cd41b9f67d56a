// The four operations of the port-driver library.
//
// The library is bound by the loader, never by code: on Windows by ordinal
// through an import library made from a module-definition file, on Linux as
// the DT_NEEDED library libzepdriver.so. Every argument and result is one
// 32-bit int, and the caller removes the arguments (cdecl), which is spelled
// out so that it holds whatever the compiler's default.
#ifndef BCDMON_DRIVER_PORT_DRIVER_H_
#define BCDMON_DRIVER_PORT_DRIVER_H_

#if defined(_WIN32)
#define ZEP_CALL __cdecl
#else
#define ZEP_CALL
#endif

// The program's side has no dllimport: its calls go through the import
// library's stubs, so the tests can link fakes in place of the library on
// Windows as they do on Linux.
#if defined(_WIN32) && defined(ZEP_BUILDING_DRIVER)
#define ZEP_API __declspec(dllexport)
#elif defined(ZEP_BUILDING_DRIVER)
#define ZEP_API __attribute__((visibility("default")))
#else
#define ZEP_API
#endif

extern "C" {

// Nonzero when the port block at `address` is open; 0 when it could not be.
ZEP_API int ZEP_CALL OpenPort(int address);
// Writes the configuration `value` to the open block. The result means nothing.
ZEP_API int ZEP_CALL ConfigPort(int address, int value);
// The byte at `address` in the low 8 bits; nothing in the result is an error.
ZEP_API int ZEP_CALL ReadPort(int address);
// Gives the block back. The result means nothing.
ZEP_API int ZEP_CALL ClosePort(void);
}

#endif  // BCDMON_DRIVER_PORT_DRIVER_H_
