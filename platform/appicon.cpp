#include "platform/appicon.h"

#include <QDirIterator>

namespace kc {

QIcon applicationIcon()
{
    QIcon icon;
    QDirIterator sizes(QStringLiteral(":/icons"), {QStringLiteral("kestrelon-chat-*.png")}, QDir::Files);
    while (sizes.hasNext())
        icon.addFile(sizes.next());
    return icon;
}

} // namespace kc
