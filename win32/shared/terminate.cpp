#include <cstdlib>

// An exception that nothing catches ends the program as before, without the C++ library's
// report on standard error, which a window program has nowhere to show. Defining the
// handler here also keeps the report's name demangler, about 40 KB, out of the exe.
namespace __gnu_cxx {
// NOLINTNEXTLINE(bugprone-reserved-identifier, cert-dcl37-c, cert-dcl51-cpp)
[[noreturn]] void __verbose_terminate_handler() {
    std::abort();
}
}  // namespace __gnu_cxx
