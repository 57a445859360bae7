/* A host program in C: its header found, the library linked and loaded, returned text released
 * with the module's own function. Prints the listing of the group's games. */
#include <OrvoModule/OrvoModule.h>
#include <stdio.h>

int main(void) {
  char* games = GetAllGames();
  printf("OrvoModule %.1f: %s\n", OrvoModuleVersionNumber, games ? games : "no registry");
  OrvoModuleFree(games);
  return OrvoModuleVersionNumber == 1.0 ? 0 : 1;
}
