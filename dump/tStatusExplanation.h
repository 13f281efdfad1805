// What each of zembril's status codes means to the person who met it.
#pragma once

#include <optional>
#include <string>

namespace nDRAVI100 {

// Returns the explanation of the status code written in `code` as zembril
// prints it ("-50204", "88360"): the code, whether it is an error or a
// warning and what it means, when zembril raises it, and what to check, in
// two to five lines, each ending in a newline. Returns nothing for text that
// is not one of zembril's codes; an error code written without its minus
// sign is not one.
[[nodiscard]] std::optional<std::string> explainStatusCode(const std::string& code);

}  // namespace nDRAVI100
