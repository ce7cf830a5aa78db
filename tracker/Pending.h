#pragma once
// Stand-in for a tracker operation that is not built yet: prints the
// operation's name and aborts, so that a path reaching one fails loudly.
[[noreturn]] void Pending(const char* name);
