/*
 * A small host program: connects to the device, configures an acquisition,
 * reads a few packets, then writes a data block and reads it back.
 *
 *   c-host [HOST [PORT]]     (defaults: 127.0.0.1, channel 0)
 *
 * Try it against the simulated device: velmora-sim -a 127.0.0.1
 */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 199309L
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <velmora.h>

#if defined(_WIN32)
#include <windows.h>
static void pause_ms(int ms) { Sleep((DWORD)ms); }
static int32_t last_error(void) { return (int32_t)GetLastError(); }
#else
#include <time.h>
static void pause_ms(int ms) {
  struct timespec t = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&t, NULL);
}
static int32_t last_error(void) { return NDX_GetLastError(); }
#endif

enum { FREQUENCY_HZ = 100000, PACKET_BITS = 16, BLOCK_BYTES = 64, WANTED_PACKETS = 8 };

static const char* result_name(int32_t result) {
  switch (result) {
    case NDX_ERROR_SUCCESS: return "ERROR_SUCCESS";
    case NDX_ERROR_BAD_UNIT: return "ERROR_BAD_UNIT";
    case NDX_ERROR_BAD_LENGTH: return "ERROR_BAD_LENGTH";
    case NDX_ERROR_BAD_NET_RESP: return "ERROR_BAD_NET_RESP (device: nothing to do)";
    case NDX_ERROR_BAD_DEV_TYPE: return "ERROR_BAD_DEV_TYPE (device: I/O error)";
    case NDX_ERROR_NO_NET_OR_BAD_PATH: return "ERROR_NO_NET_OR_BAD_PATH";
    case NDX_ERROR_BAD_TOKEN_TYPE: return "ERROR_BAD_TOKEN_TYPE";
    case NDX_ERROR_TIMEOUT: return "ERROR_TIMEOUT";
    case NDX_ERROR_NOT_CONNECTED: return "ERROR_NOT_CONNECTED";
    default: return "see velmora.h";
  }
}

static int failed(const char* what, int32_t result) {
  if (result == NDX_ERROR_SUCCESS) return 0;
  fprintf(stderr, "%s: %ld %s\n", what, (long)result, result_name(result));
  return 1;
}

static uint64_t little_endian(const unsigned char* bytes, int32_t count) {
  uint64_t value = 0;
  for (int32_t i = count; i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

/* Fetches until WANTED_PACKETS packets have come, or about two seconds. */
static int read_packets(NDX_HANDLE input) {
  static unsigned char data[1 << 16];
  unsigned char time_value[8];
  int32_t total = 0;
  for (int tries = 0; tries < 200 && total < WANTED_PACKETS * BLOCK_BYTES; ++tries) {
    int32_t time_count = (int32_t)sizeof time_value;
    int32_t data_count = (int32_t)sizeof data;
    const int32_t result = NDX_GetAllPackets(input, &time_count, time_value, &data_count, data);
    if (result == NDX_ERROR_BAD_NET_RESP && last_error() == 2) { /* none completed yet */
      pause_ms(10);
      continue;
    }
    if (failed("NDX_GetAllPackets", result)) return 1;
    printf("packets: %ld bytes (%ld packets), first at %llu us, samples %u %u %u ...\n",
           (long)data_count, (long)(data_count / BLOCK_BYTES),
           (unsigned long long)little_endian(time_value, time_count),
           (unsigned)little_endian(data, 2), (unsigned)little_endian(data + 2, 2),
           (unsigned)little_endian(data + 4, 2));
    total += data_count;
  }
  if (total == 0) {
    fprintf(stderr, "no packets arrived\n");
    return 1;
  }
  return 0;
}

static int write_and_read_back(NDX_HANDLE output, NDX_HANDLE input) {
  static const char block[] = "a data block, written and read back";
  char back[sizeof block];
  int32_t count = (int32_t)sizeof block;
  if (failed("NDX_PutData", NDX_PutData(output, &count, block))) return 1;
  printf("wrote %ld bytes\n", (long)count);
  count = (int32_t)sizeof back;
  if (failed("NDX_GetData", NDX_GetData(input, &count, back))) return 1;
  const int same = count == (int32_t)sizeof block && memcmp(back, block, sizeof block) == 0;
  printf("read back %ld bytes: %s\n", (long)count, same ? "match" : "DIFFERENT");
  return same ? 0 : 1;
}

int main(int argc, char** argv) {
  const char* host = argc > 1 ? argv[1] : "127.0.0.1";
  const int32_t port = argc > 2 ? (int32_t)atoi(argv[2]) : 0;

  NDX_HANDLE input = NDX_Connect(host, 1, port);
  if (input == NULL) {
    fprintf(stderr, "cannot connect to %s: %ld\n", host, (long)last_error());
    return 1;
  }
  NDX_HANDLE output = NDX_Connect(host, 0, port);
  if (output == NULL) {
    fprintf(stderr, "cannot connect to %s: %ld\n", host, (long)last_error());
    NDX_Close(input);
    return 1;
  }
  printf("connected to %s, channel %ld\n", host, (long)port);

  /* Commands are queued, not answered: a 0 here means "on its way". */
  int status = failed("NDX_SetTimeout", NDX_SetTimeout(input, 1000)) ||
               failed("NDX_SetFreq", NDX_SetFreq(input, FREQUENCY_HZ)) ||
               failed("NDX_SetPacketBits", NDX_SetPacketBits(input, PACKET_BITS)) ||
               failed("NDX_SetBlockSize", NDX_SetBlockSize(input, BLOCK_BYTES)) ||
               failed("NDX_GoClear", NDX_GoClear(input)) ||
               read_packets(input) ||
               failed("NDX_Clear", NDX_Clear(input)) ||
               write_and_read_back(output, input);

  NDX_Close(output);
  NDX_Close(input);
  printf("%s\n", status == 0 ? "done" : "failed");
  return status;
}
