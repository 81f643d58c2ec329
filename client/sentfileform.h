#pragma once

#include <QWidget>

class TsentfileForm : public QWidget
{
    Q_OBJECT
public:
    explicit TsentfileForm(QWidget *parent = nullptr);
};

extern TsentfileForm *sentfileForm;
