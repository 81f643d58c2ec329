#pragma once

#include "app/startoptions.h"

namespace kc {

/// Runs the chat server with no window and no display until SIGTERM or
/// SIGINT. The message log goes to standard output, one time-stamped line per
/// entry; errors that a window would show in a box are log lines too.
/// Returns the process exit code.
int runHeadless(int &argc, char **argv, const StartOptions &options);

/// One log entry (UTF-8) as a printable line: time stamp, text as UTF-8,
/// control characters replaced, cut at a sane length. Peers choose the text.
std::string headlessLogLine(const std::string &timestamp, const std::string &entry);

} // namespace kc
