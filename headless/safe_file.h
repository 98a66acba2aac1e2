// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Writes a whole file so that its name never shows a half-written file, and so that what was
// written is on the disk once the call returns:
// - the data goes to a temporary file beside the final one (a short name, so that any name the
//   system allows will do), which is flushed, synced and renamed into place, after which the
//   folder is synced too;
// - a name that is a symbolic link is written through: the file it leads to is replaced, in its
//   own folder; a link that leads nowhere, or in a loop, is refused;
// - an existing file keeps its permission bits; a new one gets 0666 less the umask.
// `write` fills the file and returns false on failure (with errno set where it can). Returns an
// error message naming `path`, or an empty string.
std::string writeFileSafely(const std::string& path, const std::function<bool(std::FILE*)>& write);

// Checks up front that writeFileSafely can write `path`: where it leads, that it is not a
// folder, and that a file can be made beside it. Returns an error message, or an empty string.
std::string checkWritable(const std::string& path);
