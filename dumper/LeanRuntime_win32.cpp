// Linked into each Windows program. The static C++ runtime's default terminate
// handler demangles the exception's type for a message to a console that is
// hidden (the tool) or absent (the window), and brings some 45 KB of demangler
// into every build; ending the process says as much to the user.
#include <cstdlib>

namespace __gnu_cxx {
void __verbose_terminate_handler();
void __verbose_terminate_handler() { std::abort(); }
}  // namespace __gnu_cxx
