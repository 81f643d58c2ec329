#include "client/einstellungsform.h"

TeinstellungsForm *einstellungsForm = nullptr;

TeinstellungsForm::TeinstellungsForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("einstellungsForm"));
    setWindowTitle(QStringLiteral("einstellungsForm"));
}
