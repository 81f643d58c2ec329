#include "app/hilfeform.h"

THilfeForm *HilfeForm = nullptr;

THilfeForm::THilfeForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("HilfeForm"));
    setWindowTitle(QStringLiteral("Hilfe"));
    resize(508, 323);
}
