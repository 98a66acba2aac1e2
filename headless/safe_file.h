// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Where a name given for a file to write leads, and how it is written there, as a shell's `>`
// would write it, except that a regular file is never seen half-written:
// - Replace: a regular file, or none yet, is written whole beside the final name (an unnamed
//   file where the file system has them, else a short temporary name), synced, and renamed over
//   it; the folder is synced too. An existing file keeps its owner and group where the system
//   allows it (always when run as root) and its permission bits, without setuid, setgid and
//   sticky; hard links to the old file, ACLs and extended attributes are not carried over.
// - InPlace: a FIFO, a device or a socket is opened and written as it is.
// - Descriptor: "-", or a name that leads to the program's own standard output or standard
//   error (/dev/stdout, /dev/fd/1, /proc/self/fd/1, ...), is written there, at its position.
// A symbolic link is written through, also to a file it names that does not exist yet, as long
// as the kernel's protected_symlinks rule would follow it: not a link in a sticky,
// world-writable folder owned by neither the folder's owner nor the user running the program.
struct OutputPlace {
    enum class Way { Replace, InPlace, Descriptor };
    Way way = Way::Replace;
    std::string file;     // Replace and InPlace: the file written, links followed
    int descriptor = -1;  // Descriptor: 1 or 2
    std::string identity; // the same for two names that lead to one file
};

// Finds where `name` leads and checks up front everything that writing it will need (for
// Replace: the folder, the name's length, a file made in the folder, the right to replace the
// one there). Returns an error message naming `name`, or an empty string.
std::string findOutputPlace(const std::string& name, OutputPlace& place);

// findOutputPlace without the result.
std::string checkWritable(const std::string& name);

// Writes a whole file at `name` as findOutputPlace describes. `write` fills the file and returns
// false on failure (with errno set where it can); the stream's error state is checked as well,
// so a write that fell short is never taken for a whole one. Every catchable signal waits while
// a regular file is replaced. Where the rename cannot replace the file (a file mounted on its
// own, as a container's bind mount gives), it is written in place instead and `notice` (when
// given) says so. Returns an error message naming `name`, or an empty string.
std::string writeFileSafely(const std::string& name, const std::function<bool(std::FILE*)>& write,
                            std::string* notice = nullptr);
