// Old std::string ABI builds only: the plug-in's own copies of the two C++11 exception
// constructors it uses, so that it loads with the libstdc++ of compilers older than GCC 5.
//
// `std::out_of_range(const char*)` (the device's answers to Get_Value) and
// `std::runtime_error(const char*)` (Boost.Date_Time's local clock) entered libstdc++ with GCC 5,
// as GLIBCXX_3.4.21, and are the plug-in's only need of that version in this ABI. Each does
// exactly what libstdc++'s does: the message becomes the exception's copy-on-write string, the
// same as the std::string constructor, which every libstdc++ has. They are hidden, so bound
// inside the .so and absent from its dynamic symbols: the host's own constructors, if it has
// them, are neither replaced nor used. (libstdc++ declares them with default visibility, which a
// visibility attribute here cannot override; the assembler's .hidden can. C1 and C2 are the
// complete and base object constructors.)
#include <stdexcept>
#include <string>

#if _GLIBCXX_USE_CXX11_ABI
#error "only for the pre-C++11 std::string ABI"
#endif

__asm__(".hidden _ZNSt12out_of_rangeC1EPKc");
__asm__(".hidden _ZNSt12out_of_rangeC2EPKc");
__asm__(".hidden _ZNSt13runtime_errorC1EPKc");
__asm__(".hidden _ZNSt13runtime_errorC2EPKc");

namespace std {

out_of_range::out_of_range(const char* what) : out_of_range(string(what)) {}

runtime_error::runtime_error(const char* what) : runtime_error(string(what)) {}

}  // namespace std
