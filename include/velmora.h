/*
 * VELMORA: client library for a network-attached data-acquisition device.
 *
 * Every function exists under three names: NDX_x and _NDX_x (one entry,
 * caller-cleans cdecl) and VBNDX_x (a callee-cleans stdcall wrapper; on
 * 64-bit targets both conventions are the platform's default one).
 *
 * Every function but NDX_Connect returns a system error number, 0 for
 * success (the NDX_ERROR_* constants below). NDX_Connect returns a handle or
 * NULL and leaves its error number in the calling thread's last-error value:
 * GetLastError() on Windows, NDX_GetLastError() on Linux; NDX_LAST_ERROR()
 * reads it on either.
 *
 * Threads: any thread may call any function with any handle. Calls are
 * serialised across the whole library: one call runs at a time, including
 * while it waits up to the handle's time-out for a reply. Waiting calls are
 * served in the order they came, so a call waits only for those ahead of it.
 *
 * fork(): a child process may use the library at once, even when another
 * thread of the parent was inside a call. Handles the child inherited belong
 * to the parent's connections: in the child every call on them returns 2250
 * (NDX_ERROR_NOT_CONNECTED) and NDX_Close returns 0; nothing the child does
 * reads from, writes to or shuts down the parent's connections. The child
 * opens handles of its own with NDX_Connect.
 *
 * Unloading: close every handle first. A library unloaded with a handle
 * still open stays loaded until that handle is closed (through a function
 * pointer the host kept), then unloads by itself.
 *
 * Memory: the library keeps no pointer passed to it; text and data are copied
 * in, results copied out. Count cells are read as the capacity of the buffer
 * that follows them and overwritten with the number of bytes written.
 */
#ifndef VELMORA_H
#define VELMORA_H

#include <stdint.h>

/* This header's version, which is the library's: the build takes its version
 * from these lines. */
#define VELMORA_VERSION_MAJOR 0
#define VELMORA_VERSION_MINOR 1
#define VELMORA_VERSION_PATCH 0
#define VELMORA_TEXT_(n) #n
#define VELMORA_TEXT(n) VELMORA_TEXT_(n)
/* "MAJOR.MINOR.PATCH" */
#define VELMORA_VERSION_STRING                 \
  VELMORA_TEXT(VELMORA_VERSION_MAJOR) "."      \
  VELMORA_TEXT(VELMORA_VERSION_MINOR) "."      \
  VELMORA_TEXT(VELMORA_VERSION_PATCH)

#if defined(_WIN32)
#define VELMORA_CDECL __cdecl
#define VELMORA_STDCALL __stdcall
#elif defined(__i386__)
#define VELMORA_CDECL __attribute__((cdecl))
#define VELMORA_STDCALL __attribute__((stdcall))
#else
#define VELMORA_CDECL
#define VELMORA_STDCALL
#endif

#if defined(VELMORA_BUILDING)
#if defined(_WIN32)
#define VELMORA_API /* names and ordinals come from the .def file */
#else
#define VELMORA_API __attribute__((visibility("default")))
#endif
#elif defined(_WIN32) && !defined(VELMORA_STATIC)
#define VELMORA_API __declspec(dllimport)
#else
#define VELMORA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* An open device handle; opaque, pointer-sized. */
typedef void* NDX_HANDLE;

/* Result numbers (Windows system error numbers). */
#define NDX_ERROR_SUCCESS 0             /* success */
#define NDX_ERROR_NOT_ENOUGH_MEMORY 8   /* memory ran out */
#define NDX_ERROR_INVALID_DATA 13       /* a second unexpected reply tag in one call */
#define NDX_ERROR_BAD_UNIT 20           /* the value is not a live device handle */
#define NDX_ERROR_BAD_LENGTH 24         /* a count or setting that must be positive is not */
#define NDX_ERROR_READ_FAULT 30         /* a received reply could not be parsed */
#define NDX_ERROR_BAD_NET_RESP 58       /* the device answered "NOWRK" */
#define NDX_ERROR_BAD_DEV_TYPE 66       /* the device answered "IOERR" */
#define NDX_ERROR_NOACCESS 998          /* caller memory could not be read or written */
#define NDX_ERROR_NO_NET_OR_BAD_PATH 1203 /* the connection attempt failed */
#define NDX_ERROR_NO_NETWORK 1222       /* no socket could be created */
#define NDX_ERROR_BAD_TOKEN_TYPE 1349   /* the operation does not fit the handle's direction */
#define NDX_ERROR_INTERNAL_ERROR 1359   /* building a request failed */
#define NDX_ERROR_INVALID_INDEX 1413    /* a digital line number of 32 or more */
#define NDX_ERROR_NO_SYSTEM_RESOURCES 1450 /* a lock or thread could not be created */
#define NDX_ERROR_TIMEOUT 1460          /* no reply within the handle's time-out */
#define NDX_ERROR_NOT_CONNECTED 2250    /* the connection is down */

/* Declares one function under its three names. */
#define VELMORA_DECLARE(ret, name, params)                 \
  VELMORA_API ret VELMORA_CDECL NDX_##name params;         \
  VELMORA_API ret VELMORA_CDECL _NDX_##name params;        \
  VELMORA_API ret VELMORA_STDCALL VBNDX_##name params;

/* Opens a handle to the device at `host` (dotted IPv4 or a name; NULL is
 * empty), input direction when `isInput` is nonzero, on port
 * 0xED00 + 0x10*(isInput != 0) + (portIndex & 15). NULL on failure; the
 * last-error value is 0, 8 (out of memory), 998 (host unreadable), 1203
 * (lookup or connection failed), 1222 (no socket) or 1450 (no lock or
 * thread). */
VELMORA_DECLARE(NDX_HANDLE, Connect, (const char* host, int32_t isInput, int32_t portIndex))

/* Commands: queue one request and return without waiting for the device;
 * either direction may send them. All give 0, 8 (out of memory), 20 (not a
 * live handle), 1359 (the request could not be built) or 2250 (link down),
 * plus as noted. */
/* Sets the sample rate to `hz`, clamped to 0..40,000,000 ("WFREQ"). */
VELMORA_DECLARE(int32_t, SetFreq, (NDX_HANDLE handle, int32_t hz))
/* Sets the packet (block) size to `bytes` ("WBKSZ"); 24 when not positive. */
VELMORA_DECLARE(int32_t, SetBlockSize, (NDX_HANDLE handle, int32_t bytes))
/* Starts acquisition ("GOGO."). */
VELMORA_DECLARE(int32_t, Go, (NDX_HANDLE handle))
/* Sets this handle's reply time-out to `ms` milliseconds for later reads and
 * writes; 24 when not positive. Sends nothing. */
VELMORA_DECLARE(int32_t, SetTimeout, (NDX_HANDLE handle, int32_t ms))

/* Reads up to *count bytes of the device's data store into `buffer` through
 * an input handle and waits for the reply. *count: in, the capacity of
 * `buffer` (> 0); out, the bytes written (most failures clear it to 0).
 * Results: 0, 8 (out of memory), 13 (a second unexpected reply), 20 (not a
 * live handle), 24 (capacity not positive), 30 (unparsable reply), 58
 * ("NOWRK"; the last-error value becomes its "Status"), 66 ("IOERR"), 998
 * (count cell or buffer not accessible), 1349 (output handle), 1359 (the
 * request could not be built), 1460 (no reply within the time-out), 2250
 * (link down). */
VELMORA_DECLARE(int32_t, GetData, (NDX_HANDLE handle, int32_t* count, void* buffer))
/* Writes *count bytes (> 0) from `buffer` through an output handle and waits
 * for the reply; *count becomes the number the device reports taking. Same
 * results as NDX_GetData, with 1349 for an input handle. */
VELMORA_DECLARE(int32_t, PutData, (NDX_HANDLE handle, int32_t* count, const void* buffer))

/* Closes the handle and stops its threads; 0, or 20 for a value that is not
 * a live handle. Requests still queued get up to the handle's time-out to
 * reach the device first; what cannot leave by then is dropped. */
VELMORA_DECLARE(int32_t, Close, (NDX_HANDLE handle))

/* Clears and starts acquisition ("GOCLR"). */
VELMORA_DECLARE(int32_t, GoClear, (NDX_HANDLE handle))
/* Stops acquisition and discards ("CLEAR"). */
VELMORA_DECLARE(int32_t, Clear, (NDX_HANDLE handle))
/* Switches digital line `line` (0..31) on when `on` is nonzero, else off
 * ("WDIO1"); 1413 for line 32 or more. */
VELMORA_DECLARE(int32_t, SetMDIO1, (NDX_HANDLE handle, uint32_t line, int32_t on))
/* Switches digital line 0 (auto-zero) on when `on` is nonzero, else off. */
VELMORA_DECLARE(int32_t, SetAZero, (NDX_HANDLE handle, int32_t on))
/* Sets the bits per sample to `bits` ("WBITS"); 24 when not positive. */
VELMORA_DECLARE(int32_t, SetPacketBits, (NDX_HANDLE handle, int32_t bits))

/* Fetches every packet acquired since the last fetch (NDX_GetAllPackets,
 * "RREQA") or only the latest one, discarding older ones
 * (NDX_GetLatestPacketAndDiscard, "RREQL"), through an input handle, and
 * waits for the reply: the packet bytes go into dataBuffer and the reply's
 * "Time" value into timeBuffer, each cut to its count cell's capacity (in:
 * > 0; out: bytes written; most failures clear it to 0). A returned count
 * equal to the capacity may mean truncation. Same results as NDX_GetData;
 * 58 also when no packet is ready. */
VELMORA_DECLARE(int32_t, GetAllPackets,
                (NDX_HANDLE handle, int32_t* timeCount, void* timeBuffer, int32_t* dataCount,
                 void* dataBuffer))
VELMORA_DECLARE(int32_t, GetLatestPacketAndDiscard,
                (NDX_HANDLE handle, int32_t* timeCount, void* timeBuffer, int32_t* dataCount,
                 void* dataBuffer))

#if !defined(_WIN32)
/* The calling thread's last-error value as the library last set it (by
 * NDX_Connect, or by a "NOWRK" reply to the device's "Status" number). */
VELMORA_API int32_t NDX_GetLastError(void);
#endif

#undef VELMORA_DECLARE

/* The calling thread's last-error value, on every platform: the system's own
 * GetLastError() on Windows (declared here as <windows.h> declares it, so
 * that header is not needed), NDX_GetLastError() elsewhere. */
#if defined(_WIN32)
__declspec(dllimport) unsigned long __stdcall GetLastError(void);
#define NDX_LAST_ERROR() ((int32_t)GetLastError())
#else
#define NDX_LAST_ERROR() NDX_GetLastError()
#endif

/* The two helpers below are compiled into the caller, so the library's export
 * table stays exactly the fifteen functions. */
#if defined(__cplusplus) || (defined(__STDC_VERSION__) && __STDC_VERSION__ >= 199901L)
#define VELMORA_INLINE inline
#elif defined(__GNUC__)
#define VELMORA_INLINE __inline__
#elif defined(_MSC_VER)
#define VELMORA_INLINE __inline
#else
#define VELMORA_INLINE
#endif

#define VELMORA_RESULT_CASE_(name) \
  case NDX_##name:                 \
    return #name;
/* The system's name of a result number ("ERROR_TIMEOUT" for 1460), or
 * "unknown" for a number the library never returns. Never NULL. */
static VELMORA_INLINE const char* NDX_ResultName(int32_t result) {
  switch (result) {
    VELMORA_RESULT_CASE_(ERROR_SUCCESS)
    VELMORA_RESULT_CASE_(ERROR_NOT_ENOUGH_MEMORY)
    VELMORA_RESULT_CASE_(ERROR_INVALID_DATA)
    VELMORA_RESULT_CASE_(ERROR_BAD_UNIT)
    VELMORA_RESULT_CASE_(ERROR_BAD_LENGTH)
    VELMORA_RESULT_CASE_(ERROR_READ_FAULT)
    VELMORA_RESULT_CASE_(ERROR_BAD_NET_RESP)
    VELMORA_RESULT_CASE_(ERROR_BAD_DEV_TYPE)
    VELMORA_RESULT_CASE_(ERROR_NOACCESS)
    VELMORA_RESULT_CASE_(ERROR_NO_NET_OR_BAD_PATH)
    VELMORA_RESULT_CASE_(ERROR_NO_NETWORK)
    VELMORA_RESULT_CASE_(ERROR_BAD_TOKEN_TYPE)
    VELMORA_RESULT_CASE_(ERROR_INTERNAL_ERROR)
    VELMORA_RESULT_CASE_(ERROR_INVALID_INDEX)
    VELMORA_RESULT_CASE_(ERROR_NO_SYSTEM_RESOURCES)
    VELMORA_RESULT_CASE_(ERROR_TIMEOUT)
    VELMORA_RESULT_CASE_(ERROR_NOT_CONNECTED)
    default:
      return "unknown";
  }
}
#undef VELMORA_RESULT_CASE_

/* What a result number means from this library, in one line of English, or
 * "not a result of this library". Never NULL. */
static VELMORA_INLINE const char* NDX_ResultText(int32_t result) {
  switch (result) {
    case NDX_ERROR_SUCCESS: return "success";
    case NDX_ERROR_NOT_ENOUGH_MEMORY: return "memory ran out inside the library";
    case NDX_ERROR_INVALID_DATA: return "a second unexpected reply in one call";
    case NDX_ERROR_BAD_UNIT: return "the value is not an open device handle";
    case NDX_ERROR_BAD_LENGTH: return "a count or setting that must be positive is not";
    case NDX_ERROR_READ_FAULT: return "a received reply could not be parsed";
    case NDX_ERROR_BAD_NET_RESP:
      return "the device answered \"NOWRK\" (its status is in the last-error value)";
    case NDX_ERROR_BAD_DEV_TYPE:
      return "the device answered \"IOERR\" (a fault, or a setting it cannot take)";
    case NDX_ERROR_NOACCESS: return "caller memory could not be read or written";
    case NDX_ERROR_NO_NET_OR_BAD_PATH:
      return "the host could not be found, nothing listens on its port, or there is no route";
    case NDX_ERROR_NO_NETWORK: return "no socket could be created";
    case NDX_ERROR_BAD_TOKEN_TYPE: return "the operation does not fit the handle's direction";
    case NDX_ERROR_INTERNAL_ERROR: return "building a request failed";
    case NDX_ERROR_INVALID_INDEX: return "a digital line number of 32 or more";
    case NDX_ERROR_NO_SYSTEM_RESOURCES: return "a lock or thread could not be created";
    case NDX_ERROR_TIMEOUT: return "no reply within the handle's time-out";
    case NDX_ERROR_NOT_CONNECTED: return "the connection to the device is down";
    default: return "not a result of this library";
  }
}

#ifdef __cplusplus
}
#endif

#endif /* VELMORA_H */
