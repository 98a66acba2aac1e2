// SPDX-License-Identifier: MIT
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <utility>

// Where a name given for a file to write leads, and how it is written there, as a shell's `>`
// would write it, except that a regular file is never seen half-written:
// - Replace: a regular file, or none yet, is written whole beside the final name (an unnamed
//   file where the file system has them, else a short temporary name), synced, and renamed over
//   it; the folder is synced too. An existing file keeps its owner, group and permission bits
//   (without setuid, setgid and sticky; where the file system keeps no modes, whatever it
//   gives) and its access ACL (or none, where it had none); hard links to the old file and its
//   other extended attributes are not carried over. A running program's file is refused, as
//   `>` refuses it ("Text file busy").
//   A file is refused where `>` would refuse it: one the user may not write, one immutable or
//   append-only or in such a folder, another user's in a sticky folder (and, as the kernel's
//   fs.protected_regular rule has it, in a sticky world-writable one even for root, unless the
//   folder's owner owns it).
// - Rewrite: a regular file that a replacement could not give back its owner and group (another
//   user's file the user may write, run by anyone but root), or one open but deleted
//   (/proc/self/fd/N), is emptied and written where it stands, as `>` writes it.
// - InPlace: a FIFO or a device is opened and written as it is (a socket, which cannot be
//   opened, is refused; so is a device without a driver).
// - Descriptor: "-", or a name that leads to the program's own standard output or standard
//   error (/dev/stdout, /dev/fd/1, /proc/self/fd/1, ...), is written there, at its position.
// A symbolic link is written through, also to a file it names that does not exist yet, as long
// as the kernel's protected_symlinks rule would follow it: not a link in a sticky,
// world-writable folder owned by neither the folder's owner nor the user running the program.
struct OutputPlace {
    enum class Way { Replace, Rewrite, InPlace, Descriptor };
    Way way = Way::Replace;
    std::string file;     // Replace, Rewrite and InPlace: the file written, links followed
    int descriptor = -1;  // Descriptor: 1 or 2
    std::string identity; // the same for two names that lead to one file
    // Replace and Rewrite, as findOutputPlace found them: the file's folder, held open, and its
    // name there.
    std::shared_ptr<const int> folder;
    std::string base;
};

// A file to write: the name it was given (for messages), and where findOutputPlace found one, its
// folder held open since, so that the file lands there even if the folder is renamed or its path
// grows longer than a path may be, as with a file `>` opened at the start (reached through the
// descriptor itself, with /proc or without). Where that folder was deleted since, the name is
// followed again.
struct OutputFile {
    OutputFile(std::string given) : name(std::move(given)) {} // NOLINT: a name alone
    OutputFile(const char* given) : name(given) {}             // NOLINT: a name alone
    OutputFile(std::string given, const OutputPlace& place);
    std::string name;
    std::shared_ptr<const int> folder;
    std::string base;
};

// Finds where `name` leads and checks up front everything that writing it will need (for
// Replace: the folder, the name's length, a file made in the folder, the right to replace the
// one there). Returns an error message naming `name`, or an empty string.
std::string findOutputPlace(const std::string& name, OutputPlace& place);

// findOutputPlace without the result.
std::string checkWritable(const std::string& name);

// The identity (as OutputPlace has it) of the existing file `name` leads to, or an empty string.
std::string fileIdentity(const std::string& name);

// Writes a whole file at `file` as findOutputPlace describes. `write` fills the file and returns
// false on failure (with errno set where it can); the stream's error state is checked as well,
// so a write that fell short is never taken for a whole one. Every catchable signal waits while
// a regular file is replaced. Where the rename cannot replace the file (a file mounted on its
// own, as a container's bind mount gives), it is written in place instead, and where the held
// folder was deleted, the name is followed again: `notice` (when given) says so. Returns an
// error message naming the file (and any temporary file that could not be taken away), or an
// empty string.
std::string writeFileSafely(const OutputFile& file, const std::function<bool(std::FILE*)>& write,
                            std::string* notice = nullptr);
