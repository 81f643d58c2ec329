#pragma once

#include <QString>

#include <functional>
#include <string>

namespace kc {

/// Asks the desktop to open `target` (a web address) with its default
/// application. Each of the three strings is cut to 79 characters, as the
/// fixed 80-character buffers of the original call allowed. Any failure is
/// silent; `showMode` is accepted for the callers' sake and has no effect here.
void shellOpen(const std::string &target, const std::string &parameters, const std::string &directory, int showMode);

/// Replaces the desktop call, for tests: the hook receives the target that
/// would have been opened. An empty hook restores the desktop call.
void setShellOpenHook(std::function<void(const QString &target)> hook);

} // namespace kc
