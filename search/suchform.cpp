#include "search/suchform.h"

TsuchForm *suchForm = nullptr;

TsuchForm::TsuchForm(QWidget *parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("suchForm"));
    setWindowTitle(QStringLiteral("suchForm"));
}
