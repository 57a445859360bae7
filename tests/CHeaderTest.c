/* The public header used from C: it compiles as C and its functions link and run. */
#include <OrvoModule/OrvoModule.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(void) {
  char* user;
  if (OrvoModuleVersionNumber != 1.0) return 1;
  if (strlen((const char*)OrvoModuleVersionString) != 45) return 1;
  /* An app group without a container: every call gives its no-value result. */
  setenv("XDG_DATA_HOME", "/nonexistent-orvo-c-test", 1);
  user = GetUserID();
  if (user != NULL) {
    free(user);
    return 1;
  }
  if (GetRefCode() != NULL) return 1;
  SetEventDate(1.0);
  puts("C header test passed");
  return 0;
}
