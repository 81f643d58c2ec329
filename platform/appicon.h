#pragma once

#include <QIcon>

namespace kc {

/// The program's icon in every size it was rendered in; every window, dialog
/// and the tray show it.
QIcon applicationIcon();

/// Name of the installed desktop entry (without ".desktop"), which is also
/// the icon's name in the icon theme.
inline constexpr const char *desktopEntryName = "kestrelon-chat";

} // namespace kc
