// orvo store init: the games' installer step as a command.
#ifndef ORVO_TOOLS_STOREINIT_H_
#define ORVO_TOOLS_STOREINIT_H_

#include <string>
#include <vector>

namespace orvo::tool {

// `args` follow "orvo store init": --user-id ID [--ref-code CODE] [--force] --game KEY...
// Creates the group's container, "UserData" and the suite's "refCode" and registry records
// (each game an empty record), keeping every other stored value. Under the suite's lock, and
// all or nothing: a "UserData", "refCode" or record that holds something else refuses the whole
// command unless --force; the same value again is no conflict. Exit status 0 done, 1 refused or
// failed, 2 usage.
int initStore(const std::vector<std::string>& args);

}  // namespace orvo::tool

#endif  // ORVO_TOOLS_STOREINIT_H_
