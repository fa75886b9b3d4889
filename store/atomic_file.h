// Replacing a file so that a power cut leaves either the old or the new
// content, never a mix.
#pragma once

#include <functional>
#include <string>

namespace xml_store {

// Replaces the content of the file at path.  A symbolic link is followed and
// stays a link.  The new content goes into a temporary file beside the target,
// is flushed, takes the target's mode (and owner, when run as root), and is
// renamed over the target; then the folder is flushed.  On failure the target
// is as it was and no temporary file is left.
// write_content writes the new content to the descriptor it is given and
// says whether all of it was written.
bool replace_file(const std::string &path, const std::function<bool(int fd)> &write_content);

}  // namespace xml_store
