#include <OrvoModule/OrvoModule.h>

// Declared in the public header, which gives them C linkage and default visibility.
const double OrvoModuleVersionNumber = 1.0;
// A what-marker string: two blanks before PROJECT and a line feed at the end are part of it.
const unsigned char OrvoModuleVersionString[] = "@(#)PROGRAM:OrvoModule  PROJECT:OrvoModule-1\n";
