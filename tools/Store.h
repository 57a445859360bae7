// orvo store: what a person needs to see of the group's shared store, and the one deliberate way
// out when its suite is damaged.
#ifndef ORVO_TOOLS_STORE_H_
#define ORVO_TOOLS_STORE_H_

namespace orvo::tool {

// Where the container and the suite are, the state of the suite, its lock and "UserData", and
// the suite in XML property-list form. Exit status 0, or 1 when there is no container.
int showStore();

// Every way in which the suite or "UserData" is not what the games keep there; 0 when none.
int checkStore();

// Moves a suite that cannot be read or does not parse aside, renamed with the time, under the
// suite's lock, so that the games start a fresh one. Refuses a suite that reads well.
int quarantineStore();

}  // namespace orvo::tool

#endif  // ORVO_TOOLS_STORE_H_
