// Root inside a user namespace of its own, for a process that is not root:
// what lets a plain user make the namespaces of a world or a test.
#pragma once

#include <string>

namespace boardsim {

// Nothing to do for root; otherwise a new user namespace in which this user
// is root. False with the reason in error.
bool become_root_in_user_namespace(std::string& error);

}  // namespace boardsim
