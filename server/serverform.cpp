#include "server/serverform.h"

TserverForm *serverForm = nullptr;

TserverForm::TserverForm(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("serverForm"));
    setWindowTitle(QStringLiteral("serverForm"));
}
