// The log files of the backend and the agent: made once, appendable by everyone.
#pragma once

#include <string>

namespace pb {

// Creates an empty log file at `path`, mode 0666, when nothing is there (root's backend and a
// user's agent append to the same folder). Returns true when the path already existed.
// A file that cannot be created is not reported: the lines then go to the console only.
bool ensureLogFile(const std::string& path);

}  // namespace pb
