// SPDX-License-Identifier: MIT
#pragma once

#include <string>

// A name as messages show it: 'name', or, where it holds a control character (C0, DEL, C1) or
// bytes that are not UTF-8, $'...' with those written as escapes (\n, \e, \xHH ...), as a shell
// and coreutils' quoting write them. A name can then neither drive the terminal nor forge a line.
std::string quotedName(const std::string& name);
