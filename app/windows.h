#pragma once

namespace kc {

/// Creates the program's seven windows, once, in this order: start window,
/// client window, server window, search window, settings dialog, send-file
/// dialog, help window. All stay hidden; each is reachable through its global
/// reference (auswahlForm, clientForm, serverForm, suchForm, einstellungsForm,
/// sentfileForm, HilfeForm) until the program ends.
void createWindows();

} // namespace kc
