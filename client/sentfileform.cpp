#include "client/sentfileform.h"

TsentfileForm *sentfileForm = nullptr;

TsentfileForm::TsentfileForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("sentfileForm"));
    setWindowTitle(QStringLiteral("sentfileForm"));
}
