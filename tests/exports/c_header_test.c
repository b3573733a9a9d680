/* The public header as a C (and C++) program sees it, linked against the
 * shared library: it compiles without warnings under -pedantic, its function
 * pointer types match the exports' conventions, and the calls that need no
 * device give their numbers. Address 127.0.0.132 belongs to this file; nothing
 * listens there. */
#include <stdio.h>

#include "velmora.h"

static int failures = 0;

static void expect(long got, long want, const char* what) {
  if (got != want) {
    printf("FAIL %s: got %ld, want %ld\n", what, got, want);
    ++failures;
  }
}

int main(void) {
  /* A mismatched convention would be an incompatible pointer type here. */
  NDX_HANDLE(VELMORA_CDECL * connect)(const char*, int32_t, int32_t) = NDX_Connect;
  NDX_HANDLE(VELMORA_STDCALL * vbConnect)(const char*, int32_t, int32_t) = VBNDX_Connect;
  int32_t(VELMORA_STDCALL * vbClose)(NDX_HANDLE) = VBNDX_Close;
  int32_t count = 4;
  char buffer[4] = {0};
  NDX_HANDLE h;

  expect(NDX_Close(NULL), NDX_ERROR_BAD_UNIT, "NDX_Close(NULL)");
  expect(_NDX_Close(NULL), NDX_ERROR_BAD_UNIT, "_NDX_Close(NULL)");
  expect(vbClose(NULL), NDX_ERROR_BAD_UNIT, "VBNDX_Close(NULL)");
  expect(NDX_SetMDIO1(NULL, 3, 1), NDX_ERROR_BAD_UNIT, "NDX_SetMDIO1(NULL)");
  expect(NDX_GetAllPackets(NULL, &count, buffer, &count, buffer), NDX_ERROR_BAD_UNIT,
         "NDX_GetAllPackets(NULL)");

  h = connect("127.0.0.132", 1, 0);
  expect(h == NULL, 1, "NDX_Connect to nobody returns NULL");
  expect(NDX_GetLastError(), NDX_ERROR_NO_NET_OR_BAD_PATH, "last error after NDX_Connect");
  h = vbConnect("127.0.0.132", 0, 5);
  expect(h == NULL, 1, "VBNDX_Connect to nobody returns NULL");
  expect(NDX_GetLastError(), NDX_ERROR_NO_NET_OR_BAD_PATH, "last error after VBNDX_Connect");

  if (failures == 0) printf("c header: all calls gave their numbers\n");
  return failures == 0 ? 0 : 1;
}
