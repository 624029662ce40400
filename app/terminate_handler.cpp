// The stub's handler for std::terminate. The run-time's default handler writes the type of the
// uncaught exception to stderr, demangling its name, and then aborts. The stub is a GUI program
// without a console, so that text goes nowhere, yet the demangler is about 50 KB of the
// download. Defining the handler here keeps the run-time's version (and the demangler) out of
// the link; what the user sees is unchanged: the process aborts. The test programs keep the
// run-time's verbose handler.
#include <cstdlib>

namespace __gnu_cxx {

void __verbose_terminate_handler()
{
    std::abort();
}

}  // namespace __gnu_cxx
