// library.cpp: what belongs to the library as a whole rather than to one unit: its version
// text, and the release of returned buffers in the library's own C runtime.
#include <cstdlib>

#include "folian.h"

extern "C" {

FOLIAN_API const char *folian_version(void) noexcept { return FOLIAN_VERSION_STRING; }

FOLIAN_API void folian_free(void *buffer) noexcept { std::free(buffer); }

}  // extern "C"
