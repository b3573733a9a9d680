// The same program as a C++ translation unit: the header's extern "C" block
// and its declarations must also be clean C++. On Windows <windows.h> comes
// first here, as in most hosts: the header's own GetLastError declaration
// must agree with the system's.
#if defined(_WIN32)
#include <windows.h>
#endif
#include "c_header_test.c"
