#pragma once

#include <QWidget>

class TsuchForm : public QWidget
{
    Q_OBJECT
public:
    explicit TsuchForm(QWidget *parent = nullptr);
};

extern TsuchForm *suchForm;
