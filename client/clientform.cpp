#include "client/clientform.h"

TclientForm *clientForm = nullptr;

TclientForm::TclientForm(QWidget *parent) : QMainWindow(parent)
{
    setObjectName(QStringLiteral("clientForm"));
    setWindowTitle(QStringLiteral("clientForm"));
}
