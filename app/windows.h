#pragma once

namespace kc {

/// Creates the program's seven windows, once, in this order: start window,
/// client window, server window, search window, settings dialog, send-file
/// dialog, help window. All stay hidden; each is reachable through its global
/// reference (auswahlForm, clientForm, serverForm, suchForm, einstellungsForm,
/// sentfileForm, HilfeForm) until the program ends.
void createWindows();

enum class Role { Client, Server };

/// Shows the window of the chosen role, ready for use, and hides the other.
/// The start window's buttons end here, and so does a start with --server.
void showRole(Role role);

/// Destroys the seven windows in the reverse order and clears their
/// references. The client window's stream service threads are stopped and
/// joined on the way, so run it while the application object still exists.
void destroyWindows();

} // namespace kc
