#pragma once
// "quivern-get languages": lists the user-interface languages available to the program.

#include <ostream>
#include <string>

namespace quivern {

// Prints one descriptor ("#<LANGID>#<name> - <native name>") per line for the built-in
// resources and each language library beside the running program. Returns the exit code.
int RunLanguagesCommand(std::ostream& out);
// The same for another program file.
int RunLanguagesCommandFor(std::ostream& out, const std::string& programPath);

}  // namespace quivern
