// orvo store: what a person needs to see of the group's shared store, and the heal of a damaged
// suite by hand.
#ifndef ORVO_TOOLS_STORE_H_
#define ORVO_TOOLS_STORE_H_

namespace orvo::tool {

// Where the container and the suite are, the state of the suite, its lock and "UserData", and
// the suite in XML property-list form. Exit status 0, or 1 when there is no container.
int showStore();

// Every way in which the suite or "UserData" is not what the games keep there; 0 when none.
int checkStore();

// Heals a damaged suite by hand, as the next update of a game would: keeps it aside as a damaged
// copy and puts its last good copy (or an empty suite) in its place. 0 when it was healed.
int quarantineStore();

}  // namespace orvo::tool

#endif  // ORVO_TOOLS_STORE_H_
