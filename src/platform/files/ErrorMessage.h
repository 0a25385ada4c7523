#pragma once

#include <cerrno>
#include <string>

namespace strataloom {

// Functions that can fail return bool or std::optional and take a trailing
// `std::string* error = nullptr`. On failure it receives one complete message
// for a person: what failed, then why, e.g.
// "cannot read the dates of /x: Permission denied".

// "<what>: <the system's description of `cause`>".
std::string errnoMessage(const std::string& what, int cause = errno);

// Names an open item in a message: the path the kernel shows for the
// descriptor. errno keeps its value.
std::string pathOfDescriptor(int fd);

// Stores `message` in *error when the caller asked for it and returns false, so
// that a failing function can end with `return fail(error, ...)`. errno keeps
// the value it had, for callers that test it.
bool fail(std::string* error, std::string message);

} // namespace strataloom
