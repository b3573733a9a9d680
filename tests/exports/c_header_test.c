/* The public header as a C (and C++) program sees it, linked against the
 * shared library: it compiles without warnings under -pedantic from C89 on,
 * its function pointer types match the exports' conventions, the calls that
 * need no device give their numbers, and its inline helpers (version, result
 * names and texts, the portable last-error read) hold what they promise.
 * Address 127.<net>.0.132 belongs to this file; nothing listens there. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velmora.h"

static int failures = 0;

static void expect(long got, long want, const char* what) {
  if (got != want) {
    printf("FAIL %s: got %ld, want %ld\n", what, got, want);
    ++failures;
  }
}

static void expect_text(const char* got, const char* want, const char* what) {
  if (got == NULL || strcmp(got, want) != 0) {
    printf("FAIL %s: got \"%s\", want \"%s\"\n", what, got ? got : "(null)", want);
    ++failures;
  }
}

/* The second octet is the run's base, VELMORA_TEST_NET, as for every test
 * fixture (tests/support/test_address.h). */
static const char* nobody_address(void) {
  static char text[24];
  const char* net = getenv("VELMORA_TEST_NET");
  sprintf(text, "127.%d.0.132", net != NULL ? atoi(net) & 0xFF : 0);
  return text;
}

static void check_calls(void) {
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

  h = connect(nobody_address(), 1, 0);
  expect(h == NULL, 1, "NDX_Connect to nobody returns NULL");
  expect(NDX_LAST_ERROR(), NDX_ERROR_NO_NET_OR_BAD_PATH, "last error after NDX_Connect");
  h = vbConnect(nobody_address(), 0, 5);
  expect(h == NULL, 1, "VBNDX_Connect to nobody returns NULL");
  expect(NDX_LAST_ERROR(), NDX_ERROR_NO_NET_OR_BAD_PATH, "last error after VBNDX_Connect");
#if !defined(_WIN32)
  expect(NDX_LAST_ERROR(), NDX_GetLastError(), "NDX_LAST_ERROR() reads NDX_GetLastError()");
#endif
}

static void check_version(void) {
  char built[32];
  sprintf(built, "%d.%d.%d", VELMORA_VERSION_MAJOR, VELMORA_VERSION_MINOR,
          VELMORA_VERSION_PATCH);
  expect_text(VELMORA_VERSION_STRING, built, "VELMORA_VERSION_STRING from its parts");
#if defined(VELMORA_EXPECTED_VERSION)
  /* The version the build gave the library's files and package files. */
  expect_text(VELMORA_VERSION_STRING, VELMORA_EXPECTED_VERSION, "header version = project version");
#endif
}

/* Every number the library returns, with the system's name for it. */
static const struct {
  int32_t number;
  const char* name;
} results[] = {
    {0, "ERROR_SUCCESS"},         {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {13, "ERROR_INVALID_DATA"},   {20, "ERROR_BAD_UNIT"},
    {24, "ERROR_BAD_LENGTH"},     {30, "ERROR_READ_FAULT"},
    {58, "ERROR_BAD_NET_RESP"},   {66, "ERROR_BAD_DEV_TYPE"},
    {998, "ERROR_NOACCESS"},      {1203, "ERROR_NO_NET_OR_BAD_PATH"},
    {1222, "ERROR_NO_NETWORK"},   {1349, "ERROR_BAD_TOKEN_TYPE"},
    {1359, "ERROR_INTERNAL_ERROR"}, {1413, "ERROR_INVALID_INDEX"},
    {1450, "ERROR_NO_SYSTEM_RESOURCES"}, {1460, "ERROR_TIMEOUT"},
    {2250, "ERROR_NOT_CONNECTED"},
};

static void check_result_texts(void) {
  static const int32_t strangers[] = {-1, 1, 2, 59, 997, 1461, 0x7fffffff, -0x7fffffff - 1};
  const size_t known = sizeof results / sizeof results[0];
  size_t i, j;
  for (i = 0; i < known; ++i) {
    const char* text = NDX_ResultText(results[i].number);
    expect_text(NDX_ResultName(results[i].number), results[i].name, "NDX_ResultName");
    if (text == NULL || strcmp(text, NDX_ResultText(-1)) == 0 || strlen(text) < 7) {
      printf("FAIL NDX_ResultText(%ld) says nothing\n", (long)results[i].number);
      ++failures;
    }
    for (j = 0; j < i; ++j)
      if (text != NULL && strcmp(text, NDX_ResultText(results[j].number)) == 0) {
        printf("FAIL %ld and %ld share the text \"%s\"\n", (long)results[i].number,
               (long)results[j].number, text);
        ++failures;
      }
  }
  /* A host prints these straight away: never NULL, also for numbers the
   * library does not know. */
  for (i = 0; i < sizeof strangers / sizeof strangers[0]; ++i) {
    expect_text(NDX_ResultName(strangers[i]), "unknown", "NDX_ResultName of a stranger");
    expect_text(NDX_ResultText(strangers[i]), "not a result of this library",
                "NDX_ResultText of a stranger");
  }
  /* The names are the constants' own, so each constant maps back to itself. */
  expect_text(NDX_ResultName(NDX_ERROR_TIMEOUT), "ERROR_TIMEOUT", "NDX_ERROR_TIMEOUT's name");
  expect_text(NDX_ResultName(NDX_ERROR_NOT_CONNECTED), "ERROR_NOT_CONNECTED",
              "NDX_ERROR_NOT_CONNECTED's name");
}

int main(void) {
  check_calls();
  check_version();
  check_result_texts();
  if (failures == 0) printf("c header: all calls gave their numbers, all helpers their texts\n");
  return failures == 0 ? 0 : 1;
}
