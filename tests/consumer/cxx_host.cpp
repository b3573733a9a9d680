// A C++ host: the header's version agrees with the package CMake found, and
// a failed connection reads back through the portable last-error macro.
//   cxx-host ADDRESS-WITH-NOTHING-LISTENING
#include <velmora.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  std::printf("velmora %s\n", VELMORA_VERSION_STRING);
#ifdef VELMORA_PACKAGE_VERSION
  if (std::strcmp(VELMORA_VERSION_STRING, VELMORA_PACKAGE_VERSION) != 0) {
    std::printf("the header says %s, the CMake package %s\n", VELMORA_VERSION_STRING,
                VELMORA_PACKAGE_VERSION);
    return 1;
  }
#endif
  const char* nobody = argc > 1 ? argv[1] : "127.0.16.9";
  if (NDX_Connect(nobody, 1, 0) != nullptr) {
    std::printf("connected to %s, where nothing should listen\n", nobody);
    return 1;
  }
  const int32_t error = NDX_LAST_ERROR();
  std::printf("connect to %s: %d %s: %s\n", nobody, static_cast<int>(error),
              NDX_ResultName(error), NDX_ResultText(error));
  return error == NDX_ERROR_NO_NET_OR_BAD_PATH ? 0 : 1;
}
