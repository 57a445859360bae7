/* The public header used from C: it compiles as C99 and its functions link and run. */
#define _POSIX_C_SOURCE 200809L /* setenv, beside strict C99 */
#include <OrvoModule/OrvoModule.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
  if (OrvoModuleVersionNumber != 1.0 || strlen((const char*)OrvoModuleVersionString) != 45)
    return 1;
  /* An app group without a container: every call gives its no-value result. */
  setenv("XDG_DATA_HOME", "/nonexistent-orvo-c-test", 1);
  SetEventDate(1.0);
  return GetUserID() == NULL && GetRefCode() == NULL ? 0 : 1;
}
