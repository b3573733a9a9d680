// The same program as a C++ translation unit: the header's extern "C" block
// and its declarations must also be clean C++.
#include "c_header_test.c"
