// Names from the user database, for messages: the daemon names the
// socket's group in a refusal, the console says whom to add to it. Never
// used to judge a peer (the kernel's credentials do that). They ask the
// user database, which may be slow: call them once, not per connection.
#ifndef HOST_PROTOCOL_USERNAMES_H
#define HOST_PROTOCOL_USERNAMES_H

#include <string>

#include <sys/types.h>

namespace control {

// The group's name, or its number when it has none.
std::string GroupName(gid_t group);

// The user's name, or its number when it has none.
std::string UserName(uid_t user);

} // namespace control

#endif
