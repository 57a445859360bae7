// JSON text written by the module.
#ifndef ORVO_GAMES_JSON_H_
#define ORVO_GAMES_JSON_H_

#include <string>
#include <string_view>

namespace orvo {

// Appends `text` as a JSON string: quoted, with '"', '\\' and the control characters escaped
// (the short escape where JSON has one, \u00XX for the others).
void appendJsonString(std::string& out, std::string_view text);

}  // namespace orvo

#endif  // ORVO_GAMES_JSON_H_
